#include "app/volume_slider.h"

#include <QSignalBlocker>
#include <QSlider>
#include <cmath>

namespace tapsound {

float sliderFloatValue(const QSlider* slider) {
    return static_cast<float>(slider->value()) / static_cast<float>(kSliderSteps);
}

void setSliderFloatValue(QSlider* slider, float value) {
    const QSignalBlocker blocker(slider);
    if (!std::isfinite(value)) value = 0.0f;
    // The slider keeps its own range; a stored value beyond it shows at the end.
    const float clamped = std::fmin(std::fmax(value, 0.0f), 1.0f);
    slider->setValue(static_cast<int>(std::lround(clamped * kSliderSteps)));
}

}  // namespace tapsound

#pragma once

class QSlider;

namespace tapsound {

// The volume slider works in 0.0..1.0; QSlider counts in whole steps.
inline constexpr int kSliderSteps = 1000;

float sliderFloatValue(const QSlider* slider);
// Sets the value without sending the slider's action, as a program change should.
void setSliderFloatValue(QSlider* slider, float value);

}  // namespace tapsound

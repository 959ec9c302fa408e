#pragma once

#include <dlfcn.h>

#include <type_traits>

namespace tapsound::platform {

// A library opened by name when first needed, and its functions bound one by one; usable only if
// it opened and every function was found.
class SharedLibrary {
  public:
    explicit SharedLibrary(const char* soname) : _handle(dlopen(soname, RTLD_NOW | RTLD_LOCAL)) {}
    template <typename Function>
    void bind(Function& function, const char* name) {
        function = _handle ? reinterpret_cast<std::remove_reference_t<Function>>(dlsym(_handle, name))
                           : nullptr;
        _usable = _usable && function;
    }
    bool usable() const { return _handle && _usable; }

  private:
    void* _handle;
    bool _usable = true;
};

}  // namespace tapsound::platform

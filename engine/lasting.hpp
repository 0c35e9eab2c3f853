// The engine's process-wide objects (grammars, locales, language data, the
// context map, the network's state) must not be destroyed under a call that
// another thread is still making: a host may return from main while one of
// its threads binds a message. So they are made here and register no
// destructor with exit. They are destroyed, last made first, when the library
// is unloaded, or at the end of a process in which no entry is running; with
// an entry running they are left to the end of the process.
#pragma once

#include <cstddef>
#include <utility>

namespace quorvane::engine::lasting {

using destroy_function = void (*)(void*) noexcept;

// Registers an object to destroy on unloading.
void keep(destroy_function destroy, void* object) noexcept;

// A new process-wide object. For namespace-scope objects and function-local
// statics: `const std::wstring& facility = lasting::make<const std::wstring>(L"MIME");`
template <class T, class... Args>
T& make(Args&&... args) {
    T* const object = new T(std::forward<Args>(args)...);
    keep([](void* kept) noexcept { delete static_cast<T*>(kept); },
         const_cast<void*>(static_cast<const void*>(object)));
    return *object;
}

// Counts an entry as running for as long as it lives. False, and nothing
// counted, once the objects are being destroyed: the entry must then touch
// nothing of the engine.
class call_scope {
public:
    call_scope() noexcept;
    ~call_scope();
    call_scope(const call_scope&) = delete;
    call_scope& operator=(const call_scope&) = delete;
    explicit operator bool() const noexcept { return entered_; }

private:
    bool entered_;
};

}  // namespace quorvane::engine::lasting

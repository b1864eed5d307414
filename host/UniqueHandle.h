// Owners of the operating system's handles: each handle the product opens is
// held by one from the moment it is opened, and closed by it, once. These are
// the only closing calls in the product.
#pragma once

#include "Platform.h"

#include <utility>

// A move-only owner. Every kind here has null as its empty value (CreateEventW
// too gives null, not INVALID_HANDLE_VALUE, on failure). The close's result is
// not tested, and it may set the last error: a routine that needs the code of
// a failed call reads it before any owner goes out of scope.
template <typename Handle, typename Close>
class CUniqueHandle {
public:
    CUniqueHandle() noexcept = default;
    explicit CUniqueHandle(Handle handle) noexcept : m_handle(handle) {}
    ~CUniqueHandle() { reset(); }

    CUniqueHandle(CUniqueHandle&& other) noexcept : m_handle(other.release()) {}
    CUniqueHandle& operator=(CUniqueHandle&& other) noexcept
    {
        reset(other.release());  // a move to itself keeps the handle
        return *this;
    }

    Handle get() const noexcept { return m_handle; }
    explicit operator bool() const noexcept { return m_handle != nullptr; }

    // Gives the handle up without closing it; the owner is empty afterwards.
    Handle release() noexcept { return std::exchange(m_handle, nullptr); }

    // Closes the handle held, if any, and holds `handle` instead.
    void reset(Handle handle = nullptr) noexcept
    {
        if (const Handle old = std::exchange(m_handle, handle)) {
            Close()(old);
        }
    }

private:
    Handle m_handle = nullptr;
};

struct CCloseServiceHandle {
    void operator()(SC_HANDLE handle) const noexcept { CloseServiceHandle(handle); }
};
struct CCloseRegistryKey {
    void operator()(HKEY key) const noexcept { RegCloseKey(key); }
};
struct CCloseKernelHandle {
    void operator()(HANDLE handle) const noexcept { CloseHandle(handle); }
};
struct CDeregisterEventSource {
    void operator()(HANDLE source) const noexcept { DeregisterEventSource(source); }
};

// The SCM's own handles and its services'.
using CServiceHandle = CUniqueHandle<SC_HANDLE, CCloseServiceHandle>;
using CRegistryKey = CUniqueHandle<HKEY, CCloseRegistryKey>;
using CEventHandle = CUniqueHandle<HANDLE, CCloseKernelHandle>;
using CEventSource = CUniqueHandle<HANDLE, CDeregisterEventSource>;

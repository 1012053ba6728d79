// Small owners of the heap buffers, handles and keys an action holds, so that
// every way out of an action releases what it obtained, exactly once.
#pragma once

#include "Platform.h"

#include <new>

namespace krt {

// A text buffer from the heap. Optionally bound to a module path-string slot,
// which points at the buffer while it lives and is null again afterwards.
class HeapText {
public:
    explicit HeapText(std::size_t size, char** slot = nullptr) : m_text(new (std::nothrow) char[size]), m_slot(slot) {
        if (m_text) m_text[0] = '\0';
        if (m_slot) *m_slot = m_text;
    }
    ~HeapText() { reset(); }
    HeapText(const HeapText&) = delete;
    HeapText& operator=(const HeapText&) = delete;

    char* get() const { return m_text; }
    explicit operator bool() const { return m_text != nullptr; }
    void reset() {
        delete[] m_text;
        m_text = nullptr;
        if (m_slot) *m_slot = nullptr;
    }

private:
    char* m_text;
    char** m_slot;
};

// A kernel handle closed with CloseHandle unless it was closed or handed on.
class ScopedHandle {
public:
    ScopedHandle() = default;
    ~ScopedHandle() { close(); }
    ScopedHandle(const ScopedHandle&) = delete;
    ScopedHandle& operator=(const ScopedHandle&) = delete;

    HANDLE get() const { return m_handle; }
    HANDLE* out() { return &m_handle; }
    // Closes now; the result of CloseHandle (TRUE when there was nothing to close).
    BOOL close() {
        HANDLE handle = m_handle;
        m_handle = nullptr;
        return handle ? CloseHandle(handle) : TRUE;
    }
    // Gives up ownership without closing (the handle now belongs to someone else).
    void release() { m_handle = nullptr; }

private:
    HANDLE m_handle = nullptr;
};

// An open registry key, closed with RegCloseKey.
class ScopedKey {
public:
    ScopedKey() = default;
    ~ScopedKey() { close(); }
    ScopedKey(const ScopedKey&) = delete;
    ScopedKey& operator=(const ScopedKey&) = delete;

    HKEY get() const { return m_key; }
    HKEY* out() { return &m_key; }
    void close() {
        if (m_key) RegCloseKey(m_key);
        m_key = nullptr;
    }

private:
    HKEY m_key = nullptr;
};

}  // namespace krt

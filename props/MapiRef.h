// Owned references to MAPI interfaces, released when they go.
#pragma once

#include "props/Mapi.h"

// Owns one reference to a MAPI interface.
template <class I>
class CRef
{
public:
    CRef() = default;
    explicit CRef(I* p) : m_p(p) {}
    ~CRef() { Reset(); }
    CRef(const CRef&) = delete;
    CRef& operator=(const CRef&) = delete;
    CRef(CRef&& other) noexcept : m_p(other.m_p) { other.m_p = nullptr; }
    CRef& operator=(CRef&& other) noexcept
    {
        if (this != &other) {
            Reset(other.m_p);
            other.m_p = nullptr;
        }
        return *this;
    }
    I* operator->() const { return m_p; }

    void Reset(I* p = nullptr)
    {
        if (m_p)
            m_p->Release();
        m_p = p;
    }
    I* Get() const { return m_p; }
    explicit operator bool() const { return m_p != nullptr; }

    // For a call that hands out a reference: the one held is released first,
    // and whatever the call leaves there is owned, also after a failure.
    I** Out()
    {
        Reset();
        return &m_p;
    }

private:
    I* m_p = nullptr;
};

// An object from OpenEntry as interface I; the reference moves into the
// result, or is released when the object is not an I.
template <class I>
CRef<I> As(LPUNKNOWN pUnk)
{
    if (!pUnk)
        return CRef<I>();
    if (I* p = dynamic_cast<I*>(pUnk))
        return CRef<I>(p);
    pUnk->Release();
    return CRef<I>();
}

#pragma once

#include "Kest8/Contract.h"

namespace Kest8 {

// A box as fractions of the frame.
struct Rect {
    double left;
    double top;
    double width;
    double height;
};

class IRectangle : public IContract {
public:
    virtual double GetLeft() const = 0;
    virtual double GetTop() const = 0;
    virtual double GetWidth() const = 0;
    virtual double GetHeight() const = 0;
};

class IRectangleEnumerator : public IContract {
public:
    virtual void Reset() = 0;
    virtual bool MoveNext() = 0;
    virtual IRectangle* Current() = 0;
};

class IPolylineEnumerator : public IContract {
public:
    virtual void Reset() = 0;
    virtual bool MoveNext() = 0;
    virtual IContract* Current() = 0;
};

class IMask : public IContract {
public:
    virtual uint32_t GetWidth() const = 0;
    virtual uint32_t GetHeight() const = 0;
    virtual const uint8_t* GetData() const = 0;
};

}  // namespace Kest8

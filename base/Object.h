#pragma once
// Root of the objects that raise events: every event hands its sender as a TObject*.

class TObject {
public:
    virtual ~TObject() = default;
};

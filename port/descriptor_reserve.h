// DescriptorReserve: one descriptor held from start-up and given back when
// it is needed most, so that a process out of descriptors can still do
// that one thing (such as save its total at shutdown).
#pragma once

class DescriptorReserve {
public:
    DescriptorReserve() = default;
    ~DescriptorReserve() { release(); }
    DescriptorReserve(const DescriptorReserve&) = delete;
    DescriptorReserve& operator=(const DescriptorReserve&) = delete;

    // Takes one descriptor (the lowest free number); false when none is left.
    bool take();
    // Gives it back, so that the next open gets its number; harmless when
    // none is held.
    void release();

private:
    int descriptor_ = -1;
};

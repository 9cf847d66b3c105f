// CallerEnd: the caller's side of a board link as the link sees it,
// whatever the transport the caller came by.
#pragma once

#include <cstdint>

class CallerEnd {
public:
    virtual ~CallerEnd() = default;
    // From the link's thread, holding its to-caller lock: the board's bytes
    // for the caller, taken whole; or none, false, while the caller is
    // behind, and the link holds them until the caller takes its output.
    virtual bool take_board_bytes(const uint8_t* bytes, int32_t count) = 0;
    // From the link's thread: the caller's input held by the link fell
    // below its bound, so reading from the caller may go on.
    virtual void input_room() = 0;
};

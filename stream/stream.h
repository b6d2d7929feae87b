#pragma once
// A stream is a record whose first member points to its table of operations;
// kinds differ only by table and fields.
#include <stdint.h>

enum class SeekOrigin : int32_t {
    Begin = 0,    // from the first byte
    Current = 1,  // from the current position
    End = 2,      // from the end
};

struct Stream;

struct StreamMethods {
    // release: destroys the stream and whatever it owns.
    void (*release)(Stream *stream);
    // flush: Returns nothing.
    void (*flush)(Stream *stream);
    // read: Returns the count of bytes placed in buffer; 0 at the end or on failure.
    uint32_t (*read)(Stream *stream, void *buffer, uint32_t length);
    // write: Returns the count of bytes taken; 0 when refused or failed.
    uint32_t (*write)(Stream *stream, const void *buffer, uint32_t length);
    // seek: Returns the new position, or -1 on failure. Unknown origins are possible inputs.
    int64_t (*seek)(Stream *stream, int64_t offset, SeekOrigin origin);
    // getSize: stores the size and the modification time (seconds since 1970, 0 when none)
    // through whichever outputs are given. Returns 1 on success, 0 on failure.
    int32_t (*getSize)(Stream *stream, uint64_t *sizeOut, int64_t *timeOut);
};

struct Stream {
    const StreamMethods *methods;
};

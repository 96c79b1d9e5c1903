// Byte streams of the device library: one handle over a transport's table of
// operations (get a byte, put a byte, write a block, delete), with a push-back
// buffer so that a reader can hand bytes back when it cannot finish, and the
// record, text and copy helpers built on it. Also the streams over files.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/aError.h"

// Each operation receives the stream's reference as its last argument.
// get delivers the next byte: aErrNotReady when none is available yet,
// aErrEOF at the end of the stream.
typedef aErr (*aStreamGetProc)(uint8_t* byte, void* reference);
// put sends one byte.
typedef aErr (*aStreamPutProc)(const uint8_t* byte, void* reference);
// write sends a block in one operation.
typedef aErr (*aStreamWriteProc)(const uint8_t* data, size_t length, void* reference);
// delete releases the transport behind the reference.
typedef aErr (*aStreamDeleteProc)(void* reference);

// wait (optional) blocks until a byte can be read or timeoutMs passed: 0 when
// one is waiting (or the transport failed, which the next get reports),
// aErrTimeout otherwise. It lets a reader sleep instead of polling get.
typedef aErr (*aStreamWaitProc)(uint32_t timeoutMs, void* reference);

// tryWrite (optional) sends what of the block the transport takes at once,
// without waiting for the device: *written receives how many bytes went out
// (0 to length). 0, or the transport's error with nothing sent.
typedef aErr (*aStreamTryWriteProc)(const uint8_t* data, size_t length, size_t* written, void* reference);

// interrupt (optional) tells the transport that the stream's reader is being
// stopped (on) or runs again (off): while on, a get that would wait for bytes
// answers aErrNotReady without waiting, and one that waits returns soon; a
// transport whose write waits for the device may give up that wait sooner.
typedef void (*aStreamInterruptProc)(bool on, void* reference);

typedef struct aStream aStream;

// A new stream over the operations (each may be NULL) and the reference,
// which it owns when delete is given; NULL when memory runs out.
aStream* aStream_Create(aStreamGetProc get, aStreamPutProc put, aStreamWriteProc write,
                        aStreamDeleteProc del, void* reference);

// Gives the stream a wait operation; aErrParam for a foreign stream.
aErr aStream_SetWaitProc(aStream* stream, aStreamWaitProc wait);

// Gives the stream a try-write operation; aErrParam for a foreign stream.
aErr aStream_SetTryWriteProc(aStream* stream, aStreamTryWriteProc tryWrite);

// Gives the stream an interrupt operation; aErrParam for a foreign stream.
aErr aStream_SetInterruptProc(aStream* stream, aStreamInterruptProc interrupt);

// Cuts the waits of the stream's get short (on) or lets it wait again (off);
// nothing for a stream without an interrupt operation or a foreign one.
void aStream_InterruptReads(aStream* stream, bool on);

// Sends the first bytes of the block that the transport takes without
// waiting; *written receives their number. aErrUnimplemented (nothing sent)
// for a stream without a try-write operation, aErrParam for a foreign stream
// or NULL arguments, else the operation's answer.
aErr aStream_TryWrite(aStream* stream, const void* data, size_t n, size_t* written);

// Waits up to timeoutMs until a read can deliver a byte: 0 at once when
// pushed-back bytes are held, else the wait operation's answer;
// aErrUnimplemented for a stream without one, aErrParam for a foreign stream.
aErr aStream_WaitReadable(aStream* stream, uint32_t timeoutMs);

// The reference of a stream whose delete operation is del, so that a
// transport can find its own record behind a stream; NULL for a stream of
// another transport or a foreign one.
void* aStream_Reference(aStream* stream, aStreamDeleteProc del);

// Whether the stream has a wait operation, so that a reader can sleep until
// bytes come instead of polling get.
bool aStream_CanWait(const aStream* stream);

// Calls delete, frees the stream and sets *stream to NULL in every case.
// Returns delete's result (0 without one), aErrParam for a foreign stream.
aErr aStream_Destroy(aStream** stream);

// Reads exactly n bytes, pushed-back bytes first. When the stream is not ready
// before n bytes arrived, every byte is pushed back, aErrNotReady is returned
// and destination is left untouched. At the end of the stream the bytes
// obtained are in destination and aErrEOF is returned.
aErr aStream_Read(aStream* stream, void* destination, size_t n);

// Writes n bytes: with write in one block when n > 1, else byte by byte.
aErr aStream_Write(aStream* stream, const void* data, size_t n);

// Reads one record: the bytes up to the first complete terminator, which is
// consumed and not stored, or capacity bytes, which leaves the rest unread.
// *count (when given) receives the record's length. A record cut short by the
// end of the stream is returned with 0; aErrEOF when nothing was read. On
// aErrNotReady every byte taken is pushed back.
aErr aStream_ReadRecord(aStream* stream, uint8_t* buffer, size_t* count, size_t capacity,
                        const uint8_t* terminator, size_t terminatorLength);

// Writes the record, then the terminator.
aErr aStream_WriteRecord(aStream* stream, const uint8_t* record, size_t length,
                         const uint8_t* terminator, size_t terminatorLength);

// Reads a text ending with a 0 byte into buffer (at most size - 1 characters)
// and terminates it.
aErr aStream_ReadCString(aStream* stream, char* buffer, size_t size);

// Writes the text's characters and its terminating 0 byte.
aErr aStream_WriteCString(aStream* stream, const char* text);

// Reads a text ending with the terminator text into buffer (at most size - 1
// characters) and terminates it.
aErr aStream_ReadCStringRecord(aStream* stream, char* buffer, size_t size, const char* terminator);

// Writes the text, then the terminator text with its terminating 0 byte.
aErr aStream_WriteCStringRecord(aStream* stream, const char* text, const char* terminator);

// Copies bytes from source (pushed-back bytes first, then get) to
// destination's put until source ends (result 0), get fails or put fails
// (result that code).
aErr aStream_Flush(aStream* source, aStream* destination);

// A stream reading the file at path; aErrResource when it cannot be made.
aErr aStream_CreateFileInput(const char* path, aStream** stream);

// A stream writing the file at path, created or truncated; aErrResource when
// it cannot be made.
aErr aStream_CreateFileOutput(const char* path, aStream** stream);

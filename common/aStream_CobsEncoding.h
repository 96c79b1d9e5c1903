// The packet stream over a serial line: every packet written goes out as one
// COBS-encoded frame (address, length, data, CRC-8) ended by a zero byte, and
// the bytes read are those of the frames that arrived whole and intact.
#pragma once

#include "common/aError.h"
#include "common/aStream.h"

// Makes a stream that frames packets over the inner operations, which carry
// the frames, and owns their reference from then on: its delete calls the
// inner delete. A read that gets no byte from the inner get answers its code
// (not ready, or a failure of the line). 0, aErrParam for a NULL handle
// address, aErrMemory, or aErrResource when the stream cannot be made; on
// failure the reference stays the caller's.
aErr aStream_CreateCobsEncoding(aStreamGetProc innerGet, aStreamPutProc innerPut,
                                aStreamWriteProc innerWrite, aStreamDeleteProc innerDelete,
                                void* innerReference, aStream** stream);

// The same over an inner stream that can wait for input: the stream then
// waits too, answering at once while a received frame is being handed out.
aErr aStream_CreateCobsEncodingWithWait(aStreamGetProc innerGet, aStreamPutProc innerPut,
                                        aStreamWriteProc innerWrite, aStreamDeleteProc innerDelete,
                                        aStreamWaitProc innerWait, void* innerReference,
                                        aStream** stream);

// Passes the stream's interrupt (aStream_InterruptReads) on to the inner
// operations' reference through innerInterrupt; aErrParam for a stream that
// is no COBS stream.
aErr aStream_SetCobsInnerInterrupt(aStream* stream, aStreamInterruptProc innerInterrupt);

// Byte streams: the operation table, the push-back ring, record and text
// helpers, and the streams over files.
#include "common/aStream.h"

#include <cstdlib>
#include <cstring>

#include "platform/aFile.h"

#define aSTREAM_CHECK 0x4321
// The push-back ring starts at this size and grows by it.
#define aSTREAM_RING_STEP 512

struct aStream {
    aStreamGetProc get;
    aStreamPutProc put;
    aStreamWriteProc write;
    aStreamDeleteProc del;
    void* reference;
    uint8_t* pushBack;   // ring of bytes handed back, NULL until the first
    uint64_t count;      // bytes held
    uint64_t capacity;   // ring size
    uint64_t readIndex;  // the oldest held byte, read next
    uint16_t check;
    aStreamWaitProc wait;
    aStreamTryWriteProc tryWrite;
    aStreamInterruptProc interrupt;
};

static bool sValid(const aStream* stream)
{
    return stream && stream->check == aSTREAM_CHECK;
}

// Makes room in the ring for one more byte, keeping one slot free.
static aErr sReserve(aStream* stream)
{
    if (stream->pushBack && stream->count < stream->capacity - 1) return aErrNone;
    uint64_t capacity = stream->capacity + aSTREAM_RING_STEP;
    uint8_t* ring = (uint8_t*)malloc(capacity);
    if (!ring) return aErrMemory;
    if (stream->pushBack) {
        uint64_t first = stream->capacity - stream->readIndex;
        if (first > stream->count) first = stream->count;
        memcpy(ring, stream->pushBack + stream->readIndex, first);
        memcpy(ring + first, stream->pushBack, stream->count - first);
        free(stream->pushBack);
    }
    stream->pushBack = ring;
    stream->capacity = capacity;
    stream->readIndex = 0;
    return aErrNone;
}

// Hands bytes back so that they are read again, in their order, before
// everything the stream holds or delivers.
static aErr sUnread(aStream* stream, const uint8_t* bytes, size_t n)
{
    while (n > 0) {
        aErr err = sReserve(stream);
        if (err != aErrNone) return err;
        stream->readIndex = (stream->readIndex + stream->capacity - 1) % stream->capacity;
        stream->pushBack[stream->readIndex] = bytes[--n];
        stream->count++;
    }
    return aErrNone;
}

static bool sTakePushedBack(aStream* stream, uint8_t* byte)
{
    if (stream->count == 0) return false;
    *byte = stream->pushBack[stream->readIndex];
    stream->readIndex = (stream->readIndex + 1) % stream->capacity;
    stream->count--;
    return true;
}

aStream* aStream_Create(aStreamGetProc get, aStreamPutProc put, aStreamWriteProc write,
                        aStreamDeleteProc del, void* reference)
{
    aStream* stream = (aStream*)calloc(1, sizeof(aStream));
    if (!stream) return NULL;
    stream->get = get;
    stream->put = put;
    stream->write = write;
    stream->del = del;
    stream->reference = reference;
    stream->check = aSTREAM_CHECK;
    return stream;
}

aErr aStream_SetWaitProc(aStream* stream, aStreamWaitProc wait)
{
    if (!sValid(stream)) return aErrParam;
    stream->wait = wait;
    return aErrNone;
}

void* aStream_Reference(aStream* stream, aStreamDeleteProc del)
{
    if (!sValid(stream) || !del || stream->del != del) return NULL;
    return stream->reference;
}

aErr aStream_SetTryWriteProc(aStream* stream, aStreamTryWriteProc tryWrite)
{
    if (!sValid(stream)) return aErrParam;
    stream->tryWrite = tryWrite;
    return aErrNone;
}

aErr aStream_SetInterruptProc(aStream* stream, aStreamInterruptProc interrupt)
{
    if (!sValid(stream)) return aErrParam;
    stream->interrupt = interrupt;
    return aErrNone;
}

void aStream_InterruptReads(aStream* stream, bool on)
{
    if (sValid(stream) && stream->interrupt) stream->interrupt(on, stream->reference);
}

aErr aStream_TryWrite(aStream* stream, const void* data, size_t n, size_t* written)
{
    if (!sValid(stream) || !written || (!data && n)) return aErrParam;
    *written = 0;
    if (!stream->tryWrite) return aErrUnimplemented;
    return stream->tryWrite((const uint8_t*)data, n, written, stream->reference);
}

aErr aStream_WaitReadable(aStream* stream, uint32_t timeoutMs)
{
    if (!sValid(stream)) return aErrParam;
    if (stream->count > 0) return aErrNone;
    if (!stream->wait) return aErrUnimplemented;
    return stream->wait(timeoutMs, stream->reference);
}

bool aStream_CanWait(const aStream* stream)
{
    return sValid(stream) && stream->wait;
}

aErr aStream_Destroy(aStream** stream)
{
    if (!stream) return aErrParam;
    aStream* record = *stream;
    *stream = NULL;
    if (!sValid(record)) return aErrParam;
    aErr err = record->del ? record->del(record->reference) : aErrNone;
    free(record->pushBack);
    record->check = 0;
    free(record);
    return err;
}

aErr aStream_Read(aStream* stream, void* destination, size_t n)
{
    if (!sValid(stream) || !destination) return aErrParam;
    if (!stream->get) return aErrMode;
    // The link engine reads byte by byte: small reads need no allocation.
    uint8_t small[64];
    uint8_t* scratch = n <= sizeof small ? small : (uint8_t*)malloc(n);
    if (!scratch) return aErrResource;

    aErr err = aErrNone;
    size_t obtained = 0;
    while (err == aErrNone && obtained < n) {
        if (sTakePushedBack(stream, &scratch[obtained]) ||
            (err = stream->get(&scratch[obtained], stream->reference)) == aErrNone)
            obtained++;
    }
    if (err == aErrNotReady) {
        // All or nothing: the next read sees these bytes first.
        aErr kept = sUnread(stream, scratch, obtained);
        if (kept != aErrNone) err = kept;
    } else if (err == aErrNone || err == aErrEOF) {
        memcpy(destination, scratch, obtained);
    }
    if (scratch != small) free(scratch);
    return err;
}

aErr aStream_Write(aStream* stream, const void* data, size_t n)
{
    if (!sValid(stream) || !data) return aErrParam;
    if (!stream->write && !stream->put) return aErrMode;
    const uint8_t* bytes = (const uint8_t*)data;
    if (stream->write && (n > 1 || !stream->put)) return stream->write(bytes, n, stream->reference);
    aErr err = aErrNone;
    for (size_t i = 0; i < n && err == aErrNone; i++) err = stream->put(&bytes[i], stream->reference);
    return err;
}

aErr aStream_ReadRecord(aStream* stream, uint8_t* buffer, size_t* count, size_t capacity,
                        const uint8_t* terminator, size_t terminatorLength)
{
    if (count) *count = 0;
    if (!sValid(stream) || !buffer || !terminator || terminatorLength == 0) return aErrParam;
    if (capacity > SIZE_MAX - terminatorLength) return aErrResource;
    // The record's bytes, followed by those that may begin the terminator.
    uint8_t* taken = (uint8_t*)calloc(capacity + terminatorLength, 1);
    if (!taken) return aErrResource;

    size_t stored = 0;
    size_t pending = 0;
    bool found = false;
    aErr err = aErrNone;
    uint8_t byte;
    while (!found && stored < capacity && (err = aStream_Read(stream, &byte, 1)) == aErrNone) {
        taken[stored + pending++] = byte;
        // Move bytes into the record until the rest begins the terminator, so
        // that a terminator which overlaps itself is still found.
        while (pending > 0 && stored < capacity && memcmp(&taken[stored], terminator, pending) != 0) {
            stored++;
            pending--;
        }
        found = pending == terminatorLength;
    }

    if (err == aErrNotReady) {
        // Every byte taken comes again with the next read.
        aErr kept = sUnread(stream, taken, stored + pending);
        if (kept != aErrNone) err = kept;
    } else if (!found && (err == aErrNone || err == aErrEOF)) {
        // A terminator begun before the end of the stream belongs to the
        // record; what is beyond the capacity stays unread.
        size_t joining = pending < capacity - stored ? pending : capacity - stored;
        stored += joining;
        aErr kept = sUnread(stream, &taken[stored], pending - joining);
        if (kept != aErrNone) err = kept;
        else if (err == aErrEOF && stored > 0) err = aErrNone;
    }
    if (err == aErrNone || err == aErrEOF) {
        memcpy(buffer, taken, stored);
        if (count) *count = stored;
    }
    free(taken);
    return err;
}

aErr aStream_WriteRecord(aStream* stream, const uint8_t* record, size_t length,
                         const uint8_t* terminator, size_t terminatorLength)
{
    if (!sValid(stream) || !record || !terminator || terminatorLength == 0) return aErrParam;
    aErr err = aStream_Write(stream, record, length);
    return err != aErrNone ? err : aStream_Write(stream, terminator, terminatorLength);
}

// Reads a record of at most size - 1 bytes into buffer and terminates it.
static aErr sReadText(aStream* stream, char* buffer, size_t size, const uint8_t* terminator,
                      size_t terminatorLength)
{
    if (size == 0) return aErrResource;
    size_t length = 0;
    aErr err = aStream_ReadRecord(stream, (uint8_t*)buffer, &length, size - 1, terminator, terminatorLength);
    if (err == aErrNone) buffer[length] = '\0';
    return err;
}

aErr aStream_ReadCString(aStream* stream, char* buffer, size_t size)
{
    static const uint8_t end = 0;
    return sReadText(stream, buffer, size, &end, 1);
}

aErr aStream_WriteCString(aStream* stream, const char* text)
{
    if (!text) return aErrParam;
    return aStream_Write(stream, text, strlen(text) + 1);
}

aErr aStream_ReadCStringRecord(aStream* stream, char* buffer, size_t size, const char* terminator)
{
    if (!terminator) return aErrParam;
    return sReadText(stream, buffer, size, (const uint8_t*)terminator, strlen(terminator));
}

aErr aStream_WriteCStringRecord(aStream* stream, const char* text, const char* terminator)
{
    if (!text || !terminator) return aErrParam;
    return aStream_WriteRecord(stream, (const uint8_t*)text, strlen(text), (const uint8_t*)terminator,
                               strlen(terminator) + 1);
}

aErr aStream_Flush(aStream* source, aStream* destination)
{
    if (!sValid(source) || !sValid(destination)) return aErrParam;
    if (!source->get || !destination->put) return aErrMode;
    for (;;) {
        // Bytes handed back are the source's next ones: they go first.
        uint8_t byte;
        aErr err = sTakePushedBack(source, &byte) ? aErrNone : source->get(&byte, source->reference);
        if (err == aErrEOF) return aErrNone;
        if (err != aErrNone) return err;
        err = destination->put(&byte, destination->reference);
        if (err != aErrNone) return err;
    }
}

static aErr sFileGet(uint8_t* byte, void* reference)
{
    if (!reference) return aErrIO;
    return aFile_Read((aFile*)reference, byte, 1, NULL);
}

static aErr sFilePut(const uint8_t* byte, void* reference)
{
    if (!reference) return aErrIO;
    return aFile_Write((aFile*)reference, byte, 1, NULL);
}

static aErr sFileWrite(const uint8_t* data, size_t length, void* reference)
{
    if (!reference) return aErrIO;
    return aFile_Write((aFile*)reference, data, length, NULL);
}

static aErr sFileDelete(void* reference)
{
    if (!reference) return aErrIO;
    aFile* file = (aFile*)reference;
    return aFile_Close(&file);
}

static aErr sCreateFileStream(const char* path, uint32_t mode, aStream** stream)
{
    if (!path || !stream) return aErrResource;
    aFile* file = aFile_Open(path, mode);
    if (!file) return aErrResource;
    aStream* created = mode == aFileModeRead
                           ? aStream_Create(sFileGet, NULL, NULL, sFileDelete, file)
                           : aStream_Create(NULL, sFilePut, sFileWrite, sFileDelete, file);
    if (!created) {
        aFile_Close(&file);
        return aErrResource;
    }
    *stream = created;
    return aErrNone;
}

aErr aStream_CreateFileInput(const char* path, aStream** stream)
{
    return sCreateFileStream(path, aFileModeRead, stream);
}

aErr aStream_CreateFileOutput(const char* path, aStream** stream)
{
    return sCreateFileStream(path, aFileModeWrite, stream);
}

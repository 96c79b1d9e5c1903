// Byte streams: all-or-nothing reads over the push-back ring, block and byte
// writes, records and texts, copying, and the streams over files.
#include <gtest/gtest.h>

#include <cstdlib>
#include <deque>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "common/aStream.h"

namespace {

// A transport driven by a script: each event is a byte to deliver or a code
// that get answers once; an empty script is the end of the stream.
struct Script {
    std::deque<int> events;
    std::string written;
    int puts = 0;
    int writes = 0;
    int deletes = 0;
    int putsBeforeFailure = -1;  // -1: put never fails
    aErr deleteResult = aErrNone;

    void bytes(const std::string& text)
    {
        for (unsigned char c : text) events.push_back(c);
    }
    void code(aErr err) { events.push_back(256 + (int)err); }
};

aErr scriptGet(uint8_t* byte, void* reference)
{
    Script* script = (Script*)reference;
    if (script->events.empty()) return aErrEOF;
    int event = script->events.front();
    script->events.pop_front();
    if (event >= 256) return (aErr)(event - 256);
    *byte = (uint8_t)event;
    return aErrNone;
}

aErr scriptPut(const uint8_t* byte, void* reference)
{
    Script* script = (Script*)reference;
    if (script->putsBeforeFailure == 0) return aErrWrite;
    if (script->putsBeforeFailure > 0) script->putsBeforeFailure--;
    script->puts++;
    script->written.push_back((char)*byte);
    return aErrNone;
}

aErr scriptWrite(const uint8_t* data, size_t length, void* reference)
{
    Script* script = (Script*)reference;
    script->writes++;
    script->written.append((const char*)data, length);
    return aErrNone;
}

aErr scriptDelete(void* reference)
{
    Script* script = (Script*)reference;
    script->deletes++;
    return script->deleteResult;
}

// A stream over a script, destroyed with the holder.
struct ScriptStream {
    Script script;
    aStream* stream;
    explicit ScriptStream(bool readable = true, bool putter = true, bool writer = true)
        : stream(aStream_Create(readable ? scriptGet : NULL, putter ? scriptPut : NULL,
                                writer ? scriptWrite : NULL, NULL, &script))
    {
    }
    ~ScriptStream() { aStream_Destroy(&stream); }

    // Everything the stream still gives until it ends.
    std::string rest()
    {
        std::string text;
        uint8_t byte;
        while (aStream_Read(stream, &byte, 1) == aErrNone) text.push_back((char)byte);
        return text;
    }
};

TEST(Stream, ReadIsAllOrNothingWhenTheTransportIsNotReady)
{
    ScriptStream s;
    s.script.bytes("ab");
    s.script.code(aErrNotReady);
    char destination[4] = {'-', '-', '-', '-'};
    EXPECT_EQ(aStream_Read(s.stream, destination, 4), aErrNotReady);
    EXPECT_EQ(std::string(destination, 4), "----");

    s.script.bytes("cdef");
    ASSERT_EQ(aStream_Read(s.stream, destination, 4), aErrNone);
    EXPECT_EQ(std::string(destination, 4), "abcd");
    EXPECT_EQ(s.rest(), "ef");
}

TEST(Stream, ReadAtTheEndHandsOutWhatCameAndOtherErrorsDropIt)
{
    ScriptStream s;
    s.script.bytes("xyz");
    char destination[4] = {};
    EXPECT_EQ(aStream_Read(s.stream, destination, 4), aErrEOF);
    EXPECT_EQ(std::string(destination, 3), "xyz");

    ScriptStream failing;
    failing.script.bytes("12");
    failing.script.code(aErrIO);
    failing.script.bytes("34");
    char other[4] = {'-', '-', '-', '-'};
    EXPECT_EQ(aStream_Read(failing.stream, other, 4), aErrIO);
    EXPECT_EQ(std::string(other, 4), "----");
    EXPECT_EQ(failing.rest(), "34");
}

TEST(Stream, OperationsTheStreamLacksAndForeignStreams)
{
    ScriptStream writeOnly(false, true, true);
    uint8_t byte = 0;
    EXPECT_EQ(aStream_Read(writeOnly.stream, &byte, 1), aErrMode);
    ScriptStream readOnly(true, false, false);
    EXPECT_EQ(aStream_Write(readOnly.stream, "ab", 2), aErrMode);
    EXPECT_EQ(aStream_Read(readOnly.stream, NULL, 1), aErrParam);
    EXPECT_EQ(aStream_Write(writeOnly.stream, NULL, 1), aErrParam);

    // A record that is no stream is refused by every operation.
    std::vector<uint64_t> foreign(16, 0);
    aStream* bogus = (aStream*)foreign.data();
    EXPECT_EQ(aStream_Read(bogus, &byte, 1), aErrParam);
    EXPECT_EQ(aStream_Write(bogus, &byte, 1), aErrParam);
    EXPECT_EQ(aStream_Flush(bogus, readOnly.stream), aErrParam);
    EXPECT_EQ(aStream_Destroy(&bogus), aErrParam);
    EXPECT_EQ(bogus, nullptr);
    EXPECT_EQ(aStream_Read(NULL, &byte, 1), aErrParam);
}

TEST(Stream, WritesUsePutForOneByteAndWriteForBlocks)
{
    ScriptStream s;
    ASSERT_EQ(aStream_Write(s.stream, "a", 1), aErrNone);
    EXPECT_EQ(s.script.puts, 1);
    EXPECT_EQ(s.script.writes, 0);
    ASSERT_EQ(aStream_Write(s.stream, "bc", 2), aErrNone);
    EXPECT_EQ(s.script.puts, 1);
    EXPECT_EQ(s.script.writes, 1);
    ASSERT_EQ(aStream_Write(s.stream, "", 0), aErrNone);
    EXPECT_EQ(s.script.written, "abc");

    ScriptStream putOnly(false, true, false);
    putOnly.script.putsBeforeFailure = 2;
    EXPECT_EQ(aStream_Write(putOnly.stream, "wxyz", 4), aErrWrite);
    EXPECT_EQ(putOnly.script.written, "wx");

    // A stream with only a block write still sends single bytes.
    ScriptStream writeOnly(false, false, true);
    ASSERT_EQ(aStream_Write(writeOnly.stream, "q", 1), aErrNone);
    EXPECT_EQ(writeOnly.script.written, "q");
}

// Reads of every size against a transport that often is not ready: the
// pushed-back bytes grow the ring, wrap around it and still come out in order.
TEST(Stream, PushedBackBytesComeOutInOrderThroughGrowthAndWrapping)
{
    ScriptStream s;
    std::mt19937 random(7);
    std::string sent, received;
    for (int i = 0; i < 20000; i++) {
        char c = (char)('A' + random() % 26);
        sent.push_back(c);
        s.script.events.push_back((unsigned char)c);
        if (random() % 3 == 0) s.script.code(aErrNotReady);
    }
    std::vector<char> destination(3000);
    for (;;) {
        size_t n = 1 + random() % (random() % 4 == 0 ? destination.size() : 40);
        aErr err = aStream_Read(s.stream, destination.data(), n);
        if (err == aErrNotReady) continue;
        if (err == aErrEOF) break;
        ASSERT_EQ(err, aErrNone);
        received.append(destination.data(), n);
    }
    EXPECT_EQ(received, sent.substr(0, received.size()));
    EXPECT_GT(received.size(), sent.size() - destination.size());
}

// The first ring of 512 holds 511 bytes; the next one grows it.
TEST(Stream, PushedBackBytesAroundTheRingsGrowth)
{
    for (size_t n : {511u, 512u, 513u, 1100u}) {
        SCOPED_TRACE(std::to_string(n) + " bytes handed back");
        ScriptStream s;
        std::string sent;
        for (size_t i = 0; i < n; i++) sent.push_back((char)('a' + i % 26));
        s.script.bytes(sent);
        s.script.code(aErrNotReady);
        s.script.bytes("!");
        std::vector<char> destination(n + 1, '-');
        ASSERT_EQ(aStream_Read(s.stream, destination.data(), n + 1), aErrNotReady);
        ASSERT_EQ(aStream_Read(s.stream, destination.data(), n + 1), aErrNone);
        EXPECT_EQ(std::string(destination.data(), n + 1), sent + "!");
    }
}

TEST(Stream, DestroyDeletesOnceAndClearsTheHandle)
{
    Script script;
    script.deleteResult = aErrIO;
    aStream* stream = aStream_Create(scriptGet, NULL, NULL, scriptDelete, &script);
    ASSERT_NE(stream, nullptr);
    script.bytes("a");
    script.code(aErrNotReady);
    uint8_t pair[2];
    EXPECT_EQ(aStream_Read(stream, pair, 2), aErrNotReady);  // the ring now holds a byte
    EXPECT_EQ(aStream_Destroy(&stream), aErrIO);
    EXPECT_EQ(stream, nullptr);
    EXPECT_EQ(script.deletes, 1);
    EXPECT_EQ(aStream_Destroy(&stream), aErrParam);
    EXPECT_EQ(aStream_Destroy(NULL), aErrParam);
    EXPECT_EQ(script.deletes, 1);
}

struct RecordCase {
    const char* input;
    const char* terminator;
    size_t capacity;
    aErr result;
    const char* record;
    const char* rest;
};

TEST(Stream, RecordsEndAtTheFirstWholeTerminator)
{
    const RecordCase cases[] = {
        {"a\rb\r\n", "\r\n", 16, aErrNone, "a\rb", ""},
        {"x\r\r\nY", "\r\n", 16, aErrNone, "x\r", "Y"},   // the terminator overlaps its own start
        {"aaab!", "aab", 16, aErrNone, "a", "!"},
        {"ab\r\n", "\r\n", 3, aErrNone, "ab", ""},        // the terminator fits beyond the record
        {"abcdef\r\n", "\r\n", 3, aErrNone, "abc", "def\r\n"},
        {"ab\r\n", "\r\n", 2, aErrNone, "ab", "\r\n"},    // full: the terminator stays unread
        {"ab\rX", "\r\n", 3, aErrNone, "ab\r", "X"},
        {"ab\r\rX", "\r\n", 3, aErrNone, "ab\r", "\rX"},
        {"ab", "\r\n", 16, aErrNone, "ab", ""},           // cut short by the end
        {"ab\r", "\r\n", 16, aErrNone, "ab\r", ""},
        {"ab\r", "\r\n", 2, aErrNone, "ab", "\r"},
        {"", "\r\n", 16, aErrEOF, "", ""},
        {"\r\nz", "\r\n", 16, aErrNone, "", "z"},         // an empty record
    };
    for (const RecordCase& c : cases) {
        SCOPED_TRACE(std::string("input ") + c.input + " capacity " + std::to_string(c.capacity));
        ScriptStream s;
        s.script.bytes(c.input);
        std::vector<uint8_t> buffer(c.capacity + 1, '#');
        size_t count = 99;
        EXPECT_EQ(aStream_ReadRecord(s.stream, buffer.data(), &count, c.capacity,
                                     (const uint8_t*)c.terminator, strlen(c.terminator)),
                  c.result);
        EXPECT_EQ(std::string((char*)buffer.data(), count), c.record);
        EXPECT_EQ(buffer[count], '#');
        EXPECT_EQ(s.rest(), c.rest);
    }
}

TEST(Stream, RecordNotReadyGivesEveryByteBackAndFailuresDropThem)
{
    ScriptStream s;
    s.script.bytes("ab\r");
    s.script.code(aErrNotReady);
    s.script.bytes("\nZ");
    const uint8_t crlf[] = {'\r', '\n'};
    uint8_t buffer[8] = {};
    size_t count = 99;
    EXPECT_EQ(aStream_ReadRecord(s.stream, buffer, &count, sizeof buffer, crlf, 2), aErrNotReady);
    EXPECT_EQ(count, 0u);
    ASSERT_EQ(aStream_ReadRecord(s.stream, buffer, &count, sizeof buffer, crlf, 2), aErrNone);
    EXPECT_EQ(std::string((char*)buffer, count), "ab");
    EXPECT_EQ(s.rest(), "Z");

    ScriptStream failing;
    failing.script.bytes("ab\r");
    failing.script.code(aErrIO);
    failing.script.bytes("\nZ");
    EXPECT_EQ(aStream_ReadRecord(failing.stream, buffer, &count, sizeof buffer, crlf, 2), aErrIO);
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(failing.rest(), "\nZ");

    EXPECT_EQ(aStream_ReadRecord(s.stream, buffer, &count, sizeof buffer, NULL, 2), aErrParam);
    EXPECT_EQ(aStream_ReadRecord(s.stream, buffer, &count, sizeof buffer, crlf, 0), aErrParam);
    EXPECT_EQ(aStream_ReadRecord(s.stream, NULL, &count, sizeof buffer, crlf, 2), aErrParam);
}

TEST(Stream, TextsAreCutToTheBufferAndTerminated)
{
    ScriptStream s;
    s.script.bytes(std::string("abc\0more", 8));
    char buffer[8];
    ASSERT_EQ(aStream_ReadCString(s.stream, buffer, sizeof buffer), aErrNone);
    EXPECT_STREQ(buffer, "abc");
    EXPECT_EQ(s.rest(), "more");

    ScriptStream longer;
    longer.script.bytes("abcdefghij");
    ASSERT_EQ(aStream_ReadCString(longer.stream, buffer, sizeof buffer), aErrNone);
    EXPECT_STREQ(buffer, "abcdefg");
    EXPECT_EQ(longer.rest(), "hij");

    EXPECT_EQ(aStream_ReadCString(s.stream, buffer, 0), aErrResource);
}

TEST(Stream, TextRecordsWrittenAndReadBack)
{
    ScriptStream s;
    ASSERT_EQ(aStream_WriteCString(s.stream, "hi"), aErrNone);
    ASSERT_EQ(aStream_WriteCStringRecord(s.stream, "one", "\r\n"), aErrNone);
    ASSERT_EQ(aStream_WriteCStringRecord(s.stream, "two", "\r\n"), aErrNone);
    const uint8_t bar = '|';
    ASSERT_EQ(aStream_WriteRecord(s.stream, (const uint8_t*)"3", 1, &bar, 1), aErrNone);
    EXPECT_EQ(s.script.written, std::string("hi\0one\r\n\0two\r\n\0003|", 17));
    EXPECT_EQ(aStream_WriteRecord(s.stream, (const uint8_t*)"3", 1, &bar, 0), aErrParam);

    // The 0 after a terminator text opens the next record read that way.
    s.script.bytes(s.script.written);
    char buffer[16];
    ASSERT_EQ(aStream_ReadCString(s.stream, buffer, sizeof buffer), aErrNone);
    EXPECT_STREQ(buffer, "hi");
    ASSERT_EQ(aStream_ReadCStringRecord(s.stream, buffer, sizeof buffer, "\r\n"), aErrNone);
    EXPECT_STREQ(buffer, "one");
    size_t count = 0;
    uint8_t raw[16];
    ASSERT_EQ(aStream_ReadRecord(s.stream, raw, &count, sizeof raw, (const uint8_t*)"\r\n", 2), aErrNone);
    EXPECT_EQ(std::string((char*)raw, count), std::string("\0two", 4));
}

TEST(Stream, FlushCopiesUntilTheSourceEndsOrAFailure)
{
    ScriptStream source, destination(false, true, false);
    source.script.bytes("0123456789");
    EXPECT_EQ(aStream_Flush(source.stream, destination.stream), aErrNone);
    EXPECT_EQ(destination.script.written, "0123456789");

    // Bytes that a read handed back are copied first, in their place.
    ScriptStream waiting;
    waiting.script.bytes("ab");
    waiting.script.code(aErrNotReady);
    char three[3];
    EXPECT_EQ(aStream_Read(waiting.stream, three, 3), aErrNotReady);
    waiting.script.bytes("c");
    waiting.script.code(aErrNotReady);
    waiting.script.bytes("c");
    EXPECT_EQ(aStream_Flush(waiting.stream, destination.stream), aErrNotReady);
    EXPECT_EQ(destination.script.written, "0123456789abc");

    ScriptStream refusing(false, true, false);
    refusing.script.putsBeforeFailure = 1;
    EXPECT_EQ(aStream_Flush(waiting.stream, refusing.stream), aErrNone);  // "c" goes through
    waiting.script.bytes("de");
    EXPECT_EQ(aStream_Flush(waiting.stream, refusing.stream), aErrWrite);
    EXPECT_EQ(refusing.script.written, "c");

    ScriptStream writeOnly(false, false, true);
    EXPECT_EQ(aStream_Flush(source.stream, writeOnly.stream), aErrMode);
    EXPECT_EQ(aStream_Flush(writeOnly.stream, destination.stream), aErrMode);
}

class FileStream : public ::testing::Test {
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/stream-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir = pattern;
    }
    void TearDown() override { std::filesystem::remove_all(dir); }
    std::string path(const char* name) const { return dir + "/" + name; }
    static std::string contents(const std::string& file)
    {
        std::ifstream in(file, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
    std::string dir;
};

TEST_F(FileStream, FlushCopiesAFileIntoAnother)
{
    std::ofstream(path("in"), std::ios::binary) << std::string("ten\0bytes!", 10);
    aStream* in = NULL;
    aStream* out = NULL;
    ASSERT_EQ(aStream_CreateFileInput(path("in").c_str(), &in), aErrNone);
    ASSERT_EQ(aStream_CreateFileOutput(path("out").c_str(), &out), aErrNone);
    EXPECT_EQ(aStream_Flush(in, out), aErrNone);
    uint8_t byte;
    EXPECT_EQ(aStream_Read(in, &byte, 1), aErrEOF);
    ASSERT_EQ(aStream_Write(out, "++", 2), aErrNone);
    EXPECT_EQ(aStream_Destroy(&in), aErrNone);
    EXPECT_EQ(aStream_Destroy(&out), aErrNone);
    EXPECT_EQ(contents(path("out")), std::string("ten\0bytes!++", 12));
}

TEST_F(FileStream, FilesThatCannotBeOpenedGiveNoStream)
{
    aStream* sentinel = (aStream*)&sentinel;
    aStream* stream = sentinel;
    EXPECT_EQ(aStream_CreateFileInput(path("missing").c_str(), &stream), aErrResource);
    EXPECT_EQ(aStream_CreateFileOutput(path("no/such/dir").c_str(), &stream), aErrResource);
    EXPECT_EQ(aStream_CreateFileInput(NULL, &stream), aErrResource);
    EXPECT_EQ(aStream_CreateFileOutput(path("x").c_str(), NULL), aErrResource);
    EXPECT_EQ(stream, sentinel);
}

TEST_F(FileStream, DataThatCannotReachTheDiskIsReported)
{
    aStream* out = NULL;
    ASSERT_EQ(aStream_CreateFileOutput("/dev/full", &out), aErrNone);
    EXPECT_EQ(aStream_Write(out, "buffered", 8), aErrNone);
    EXPECT_EQ(aStream_Destroy(&out), aErrIO);
    EXPECT_EQ(out, nullptr);
}

} // namespace

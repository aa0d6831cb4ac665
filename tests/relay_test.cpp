// The text of each datagram reaches stdout exactly as sent, and only the text.
#include "logger_process.h"

#include <string>
#include <vector>

namespace korvi_test {

// Outside the unnamed namespace, so that GoogleTest finds operator<< for it.
struct RelayCase {
    const char* name;
    std::vector<std::string> datagrams; // sent in this order
    std::string expected;               // what must come out between banner and end mark
};

namespace {

using namespace std::string_literals;

// n bytes of a repeating pattern with no NUL, so any shift or overrun shows.
std::string pattern(size_t n)
{
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i)
        s[i] = static_cast<char>('A' + i % 26);
    return s;
}

// Every byte value but NUL, once.
std::string all_bytes_but_nul()
{
    std::string s;
    for (int b = 1; b < 256; ++b)
        s.push_back(static_cast<char>(b));
    return s;
}

const RelayCase RELAY_CASES[] = {
    {"WordAndNewline", {"hello\n"}, "hello\n"},
    {"NoSeparatorAdded", {"ab", "cd"}, "abcd"},
    {"EveryByteButNul", {all_bytes_but_nul()}, all_bytes_but_nul()},
    {"ControlCharacters", {"\x1b[31mred\x1b[0m\r\b\t\a\f\v\n"}, "\x1b[31mred\x1b[0m\r\b\t\a\f\v\n"},
    {"Utf8", {"Grüße, 日本語, ☃ 🐦\n"}, "Grüße, 日本語, ☃ 🐦\n"},
    {"NulEndsText", {"abc\0def"s}, "abc"},
    {"TrailingNul", {"line\n\0"s}, "line\n"},
    {"LeadingNulIsEmpty", {"\0abc"s, "next"}, "next"},
    {"EmptyDatagram", {"", "after"}, "after"},
    {"Size1023", {pattern(1023)}, pattern(1023)},
    {"Size1024WithoutNulIsWhole", {pattern(1024)}, pattern(1024)},
    {"Size1024EndingInNul", {pattern(1023) + '\0'}, pattern(1023)},
    {"Size1025KeepsFirst1024", {pattern(1025), "next"}, pattern(1024) + "next"},
    {"LargestDatagramKeepsFirst1024", {pattern(65507), "next"}, pattern(1024) + "next"},
};

class RelayTest : public LoggerTest {};
class Datagram : public LoggerTest, public ::testing::WithParamInterface<RelayCase> {};

TEST_P(Datagram, WritesExactlyTheText)
{
    const RelayCase& c = GetParam();
    const std::string end_mark = "<end of case>\n";
    LoggerRun& run = start();
    for (const auto& d : c.datagrams)
        ASSERT_EQ(static_cast<ssize_t>(d.size()), send_datagram(d)) << "sendto failed";
    // A last datagram marks the end: all before it have been relayed by then.
    ASSERT_EQ(static_cast<ssize_t>(end_mark.size()), send_datagram(end_mark));
    ASSERT_TRUE(read_until(run, end_mark))
        << "got so far: " << ::testing::PrintToString(run.output);

    EXPECT_EQ("exited with 0", interrupt(run));
    EXPECT_EQ(BANNER_LINE + c.expected + end_mark + STOPPED_LINE, full_output(run));
}

INSTANTIATE_TEST_SUITE_P(RelayTest, Datagram, ::testing::ValuesIn(RELAY_CASES), CaseName());

TEST_F(RelayTest, EachDatagramIsVisibleBeforeTheNextArrives)
{
    LoggerRun& run = start();
    for (int i = 0; i < 20; ++i) {
        const std::string line = "line " + std::to_string(i) + "\n";
        ASSERT_EQ(static_cast<ssize_t>(line.size()), send_datagram(line));
        // Nothing else is sent until this one is on the pipe: it was flushed.
        ASSERT_TRUE(read_until(run, line)) << "got so far: " << run.output;
    }
    EXPECT_EQ("exited with 0", interrupt(run));
}

} // namespace
} // namespace korvi_test

// The URL rules: what parses, into which host, port and path, and what not.

#include <gtest/gtest.h>

#include <string>
#include <thread>

#include "net/url.h"

namespace {

TEST(ParseHttpsUrl, SplitsHostPortAndPath) {
    struct Case {
        const char* url;
        const wchar_t* host;
        int port;
        const wchar_t* path;
    } cases[] = {
        {"https://dl.example.com", L"dl.example.com", 443, L"/"},
        {"https://dl.example.com:8443", L"dl.example.com", 8443, L"/"},
        {"https://dl.example.com:8443/velmor-ofd/release", L"dl.example.com", 8443,
         L"/velmor-ofd/release"},
        {"https://127.0.0.1/", L"127.0.0.1", 443, L"/"},
        {"https://h/p/q?x=1&y=2#frag", L"h", 443, L"/p/q?x=1&y=2#frag"},
        {"https://h?x=1/p", L"h?x=1", 443, L"/p"},
        {"https://h#f", L"h#f", 443, L"/"},
        {"https://user@h:1/", L"user@h", 1, L"/"},
        {"https://h:00080/a", L"h", 80, L"/a"},
        {"https://h:65535", L"h", 65535, L"/"},
        {"https://h:1", L"h", 1, L"/"},
        {"https://h//", L"h", 443, L"//"},
        {"https://h/a:b/c", L"h", 443, L"/a:b/c"},
    };
    for (const Case& c : cases) {
        ParsedUrl parsed;
        ASSERT_TRUE(ParseHttpsUrl(c.url, parsed)) << c.url;
        EXPECT_EQ(parsed.host, c.host) << c.url;
        EXPECT_EQ(parsed.port, c.port) << c.url;
        EXPECT_EQ(parsed.path, c.path) << c.url;
    }
}

TEST(ParseHttpsUrl, RejectsWhatIsNotAnAbsoluteHttpsUrl) {
    const std::string cases[] = {
        "",
        "https://",
        "https:///path",
        "https://h:",
        "https://h:/path",
        "https://h:x/",
        "https://h:-1/",
        "https://h:+80/",
        "HTTPS://h/",
        "Https://h/",
        "http://h/",
        "ftp://h/",
        "/velmor-ofd/release",
        "velmor-ofd/release",
        "//h/path",
        " https://h/",
        "https://h/a\nb",
        "https://h/a\rb",
        "https://h/a\r\n",
        "https://h:1:2/",
    };
    for (const std::string& url : cases) {
        ParsedUrl parsed;
        EXPECT_FALSE(ParseHttpsUrl(url, parsed)) << url;
    }
}

TEST(ParseHttpsUrl, AcceptsOnlyPortsThatTcpHas) {
    struct Case {
        const char* url;
        bool ok;
    } cases[] = {
        {"https://h:0/", false},           {"https://h:000/", false},
        {"https://h:65535/", true},        {"https://h:65536/", false},
        {"https://h:99999/", false},       {"https://h:2147483647/", false},
        {"https://h:2147483648/", false},  {"https://h:4294967297/", false},
        {"https://h:99999999999/", false}, {"https://h:0000000000000000000443/", true},
    };
    for (const Case& c : cases) {
        ParsedUrl parsed;
        EXPECT_EQ(ParseHttpsUrl(c.url, parsed), c.ok) << c.url;
    }
}

TEST(ParseHttpsUrl, WidensEachByteToOneCodeUnit) {
    ParsedUrl parsed;
    ASSERT_TRUE(ParseHttpsUrl("https://h\xC3\xA4/\x80\xFF~", parsed));
    EXPECT_EQ(parsed.host, std::wstring(L"h") + wchar_t(0xFFC3) + wchar_t(0xFFA4));
    EXPECT_EQ(parsed.path, std::wstring(L"/") + wchar_t(0xFF80) + wchar_t(0xFFFF) + L"~");
}

// The matcher recurses per byte; long URLs must fail cleanly, not overflow the
// stack, on the main thread and on a thread like the install worker.
TEST(ParseHttpsUrl, LongUrlsEndWithoutCrash) {
    const std::string head = "https://h/";
    struct Case {
        std::size_t size;
        bool ok;
    } cases[] = {{2047, true}, {4096, true}, {4097, false}, {1 << 20, false}};
    for (const Case& c : cases) {
        std::string url = head + std::string(c.size - head.size(), 'a');
        ParsedUrl parsed;
        EXPECT_EQ(ParseHttpsUrl(url, parsed), c.ok) << c.size;
        if (c.ok) {
            EXPECT_EQ(parsed.path.size(), c.size - head.size() + 1);
        }
        bool onThread = !c.ok;
        std::thread worker([&] { onThread = ParseHttpsUrl(url, parsed); });
        worker.join();
        EXPECT_EQ(onThread, c.ok) << c.size;
    }
    std::string longHost = "https://" + std::string(4096, 'h');
    ParsedUrl parsed;
    EXPECT_FALSE(ParseHttpsUrl(longHost, parsed));
}

// Redirect targets: RFC 3986's own examples (section 5.4) and the forms a
// download host sends; the fragment never reaches the request.
TEST(ResolveReference, ResolvesAsRfc3986Says) {
    const std::string rfc = "http://a/b/c/d;p?q";
    const std::string base = "https://h:8443/velmor-ofd/release?v=1";
    struct Case {
        const std::string& base;
        const char* reference;
        const char* target;
    } cases[] = {
        {rfc, "g:h", "g:h"},
        {rfc, "g", "http://a/b/c/g"},
        {rfc, "./g", "http://a/b/c/g"},
        {rfc, "g/", "http://a/b/c/g/"},
        {rfc, "/g", "http://a/g"},
        {rfc, "//g", "http://g"},
        {rfc, "?y", "http://a/b/c/d;p?y"},
        {rfc, "g?y", "http://a/b/c/g?y"},
        {rfc, "#s", "http://a/b/c/d;p?q"},
        {rfc, "g#s", "http://a/b/c/g"},
        {rfc, ";x", "http://a/b/c/;x"},
        {rfc, ".", "http://a/b/c/"},
        {rfc, "..", "http://a/b/"},
        {rfc, "../g", "http://a/b/g"},
        {rfc, "../..", "http://a/"},
        {rfc, "../../g", "http://a/g"},
        {rfc, "../../../../g", "http://a/g"},
        {rfc, "/./g", "http://a/g"},
        {rfc, "/../g", "http://a/g"},
        {rfc, "g.", "http://a/b/c/g."},
        {rfc, "..g", "http://a/b/c/..g"},
        {rfc, "./../g", "http://a/b/g"},
        {rfc, "g/./h", "http://a/b/c/g/h"},
        {rfc, "g/../h", "http://a/b/c/h"},
        {rfc, "g?y/./x", "http://a/b/c/g?y/./x"},
        {base, "/velmor-ofd/release-2.exe", "https://h:8443/velmor-ofd/release-2.exe"},
        {base, "release-2.exe", "https://h:8443/velmor-ofd/release-2.exe"},
        {base, "../up/x", "https://h:8443/up/x"},
        {base, "//cdn.example.com/p", "https://cdn.example.com/p"},
        {base, "r?a=1&b=/c", "https://h:8443/velmor-ofd/r?a=1&b=/c"},
        {base, "r#part", "https://h:8443/velmor-ofd/r"},
        {base, "https://other/x#y", "https://other/x"},
        {base, "http://h/x", "http://h/x"},
        {base, "", ""},
        {"https://h", "x", "https://h/x"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(ResolveReference(c.base, c.reference), c.target) << c.reference;
}

} // namespace

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include <boost/iostreams/filtering_stream.hpp>

#include "installed_callbacks.hpp"
#include "mime/devices/callback.hpp"
#include "mime/mime.hpp"
#include "mime_support.hpp"
#include "support/recorder.hpp"

namespace {

namespace io = boost::iostreams;
namespace mime = quorvane::engine::mime;

enum class behaviour { honest, empty_answers, negative_length, throws };

// The host's side of stream_read: a message delivered in pieces of at most
// `piece` bytes, and every call recorded.
struct host_type {
    std::string message;
    std::int64_t piece = 1 << 20;
    behaviour mode = behaviour::honest;
    std::vector<std::pair<std::int64_t, std::int64_t>> calls;
};
host_type* host = nullptr;
int cell;

bool stream_read(void* context, std::int64_t offset, std::int64_t max_length, const char** data,
                 std::int64_t* length) {
    EXPECT_EQ(context, &cell);
    host->calls.emplace_back(offset, max_length);
    switch (host->mode) {
    case behaviour::empty_answers:
        *length = 0;
        return true;
    case behaviour::negative_length:
        *length = -5;
        return true;
    case behaviour::throws:
        throw std::runtime_error("the host gave up");
    case behaviour::honest:
        break;
    }
    const auto size = static_cast<std::int64_t>(host->message.size());
    if (offset >= size) return false;
    std::int64_t n = std::min(size - offset, host->piece);
    if (max_length >= 0) n = std::min(n, max_length);
    *data = host->message.data() + offset;
    *length = n;
    return true;
}

class MimeDevice : public ::testing::Test {
protected:
    MimeDevice() : installed_(table()) { host = &host_; }
    ~MimeDevice() override { host = nullptr; }

    qvse_callbacks_t table() {
        qvse_callbacks_t t = recorder_.table();
        t.stream_read = &stream_read;
        return t;
    }
    mime::source_pointer stream() {
        auto s = std::make_shared<io::filtering_stream<io::input_seekable>>();
        s->push(mime::devices::callback(&cell));
        return s;
    }

    host_type host_;
    quorvane::testing::recorder recorder_;
    quorvane::testing::installed_callbacks installed_;
};

TEST_F(MimeDevice, ReadsAtItsPosition) {
    host_.message = "0123456789";
    host_.piece = 3;
    mime::devices::callback device(&cell);
    char buffer[8];
    ASSERT_EQ(device.read(buffer, 8), 3);
    EXPECT_EQ(std::string(buffer, 3), "012");
    ASSERT_EQ(device.seek(7, std::ios_base::beg), std::streampos(7)) << "probes to learn 7 exists";
    ASSERT_EQ(device.read(buffer, 8), 3);
    EXPECT_EQ(std::string(buffer, 3), "789");
    EXPECT_EQ(device.read(buffer, 8), -1);
    EXPECT_EQ(host_.calls.front(), (std::pair<std::int64_t, std::int64_t>{0, 8}));
}

TEST_F(MimeDevice, SizeProbe) {
    host_.message = std::string(10, 'x');
    host_.piece = 4;
    mime::devices::callback device(&cell);
    EXPECT_EQ(device.seek(0, std::ios_base::end), std::streampos(10));
    const std::vector<std::pair<std::int64_t, std::int64_t>> probes = {
        {0, -1}, {4, -1}, {8, -1}, {10, -1}};
    EXPECT_EQ(host_.calls, probes);
    EXPECT_EQ(device.seek(-2, std::ios_base::end), std::streampos(8));
    EXPECT_EQ(host_.calls.size(), probes.size()) << "a second seek to the end asks nothing";
    EXPECT_THROW(device.seek(1, std::ios_base::end), std::ios_base::failure);
    EXPECT_THROW(device.seek(-1, std::ios_base::beg), std::ios_base::failure);
    EXPECT_EQ(device.seek(-3, std::ios_base::cur), std::streampos(5));
}

TEST_F(MimeDevice, CarelessHostsCannotMakeItLoop) {
    host_.mode = behaviour::empty_answers;
    {
        mime::devices::callback device(&cell);
        EXPECT_EQ(device.seek(0, std::ios_base::end), std::streampos(0));
        EXPECT_EQ(host_.calls.size(), 1u);
        char c;
        EXPECT_EQ(device.read(&c, 1), 0);
    }
    // A whole structure pass over such a host ends, with an empty message.
    auto source = stream();
    mime::tree_pointer root;
    ASSERT_TRUE(mime::create(*source, root));
    EXPECT_EQ(quorvane::testing::render(source, "", root.get()), "text/plain []\n");
    EXPECT_LT(host_.calls.size(), 10u);

    host_.mode = behaviour::negative_length;
    mime::devices::callback device(&cell);
    EXPECT_THROW(device.seek(0, std::ios_base::end), std::ios_base::failure);
    char c;
    EXPECT_THROW(device.read(&c, 1), std::ios_base::failure);
}

TEST_F(MimeDevice, HostExceptionsAreTracedAndPassedOn) {
    host_.mode = behaviour::throws;
    mime::devices::callback device(&cell);
    char c;
    EXPECT_THROW(device.read(&c, 1), std::runtime_error);
    const auto lines = recorder_.lines();
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines[0].level, unsigned(QVSE_TRACE_ERROR));
    EXPECT_EQ(lines[0].facility, L"MIME");
    EXPECT_EQ(lines[0].text, L"An exception has occured:");
}

TEST_F(MimeDevice, StructureAndContentOverTheHost) {
    host_.message =
        "Content-Type: multipart/mixed; boundary=b\r\n\r\n--b\r\n\r\nfirst\r\n--b\r\n"
        "Content-Transfer-Encoding: base64\r\n\r\nSGVs\r\nbG8=\r\n--b--\r\nend";
    for (const std::int64_t piece : {1, 7, 4096}) {
        host_.piece = piece;
        auto source = stream();
        mime::tree_pointer root;
        ASSERT_TRUE(mime::create(*source, root));
        EXPECT_EQ(quorvane::testing::render(source, host_.message, root.get()),
                  "multipart/mixed pre[] epi[end]\n"
                  "  text/plain [first\\r\\n]\n"
                  "  text/plain [Hello]\n")
            << "pieces of " << piece;
    }
}

}  // namespace

// dirmirror-sink-broker: the broker side of AMQP 0-9-1, cut down to what a
// publisher needs (log in, open channels, declare, publish with confirms,
// close). Every message is counted, confirmed and dropped, so a benchmark
// against it measures the publisher's cost and not a real broker's.
//
//   dirmirror-sink-broker [--port N] [--block-after N] [--block-seconds S]
//
// Prints "port N" once it listens, and "messages N bytes M" on SIGTERM/SIGINT.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <system_error>
#include <thread>
#include <vector>

namespace {

constexpr std::uint8_t kMethodFrame = 1, kHeaderFrame = 2, kBodyFrame = 3, kHeartbeatFrame = 8;
constexpr std::uint8_t kFrameEnd = 0xCE;
constexpr std::size_t kFrameHeaderSize = 7; // type, channel, payload size
constexpr std::uint32_t kFrameMax = 131072;
constexpr std::uint16_t kChannelMax = 2047;
constexpr std::string_view kProtocolHeader{"AMQP\x00\x00\x09\x01", 8};

// Reply codes of connection.close.
constexpr std::uint16_t kFrameError = 501, kSyntaxError = 502, kCommandInvalid = 503,
                        kChannelError = 504, kUnexpectedFrame = 505, kNotImplemented = 540;

// A method's class and method ids in one number, so that handlers can switch on it.
constexpr std::uint32_t method_id(std::uint16_t class_id, std::uint16_t method)
{
    return std::uint32_t{class_id} << 16 | method;
}
// clang-format off
enum : std::uint32_t {
    kConnectionStart = method_id(10, 10),   kConnectionStartOk = method_id(10, 11),
    kConnectionTune = method_id(10, 30),    kConnectionTuneOk = method_id(10, 31),
    kConnectionOpen = method_id(10, 40),    kConnectionOpenOk = method_id(10, 41),
    kConnectionClose = method_id(10, 50),   kConnectionCloseOk = method_id(10, 51),
    kConnectionBlocked = method_id(10, 60), kConnectionUnblocked = method_id(10, 61),
    kChannelOpen = method_id(20, 10),       kChannelOpenOk = method_id(20, 11),
    kChannelClose = method_id(20, 40),      kChannelCloseOk = method_id(20, 41),
    kExchangeDeclare = method_id(40, 10),   kExchangeDeclareOk = method_id(40, 11),
    kQueueDeclare = method_id(50, 10),      kQueueDeclareOk = method_id(50, 11),
    kQueueBind = method_id(50, 20),         kQueueBindOk = method_id(50, 21),
    kBasicPublish = method_id(60, 40),      kBasicAck = method_id(60, 80),
    kConfirmSelect = method_id(85, 10),     kConfirmSelectOk = method_id(85, 11),
};
// clang-format on
constexpr std::uint16_t kBasicClass = 60;

// Joins the parts of a log line or error text.
template <typename... Parts> std::string text(const Parts &...parts)
{
    std::ostringstream out;
    (out << ... << parts);
    return out.str();
}

std::string method_name(std::uint32_t id)
{
    return text("method ", id >> 16, ".", id & 0xFFFF);
}

// Bytes as two hex digits each, for log lines about what a client sent.
std::string hex(std::string_view bytes)
{
    std::string text;
    for (char byte : bytes) {
        char digits[4];
        std::snprintf(digits, sizeof digits, "%s%02x", text.empty() ? "" : " ", byte & 0xFF);
        text += digits;
    }
    return text;
}

// Ends the connection: sent to the peer as connection.close and logged.
struct ProtocolError {
    std::uint16_t code;
    std::string text;
    std::uint32_t method = 0; // the method being handled, if any
};

struct Options {
    std::uint16_t port = 0;
    std::uint64_t block_after = 0; // 0: never block
    std::uint32_t block_seconds = 5;
};

std::atomic<std::uint64_t> total_messages{0}, total_bytes{0};

// Reads the fields of one frame's payload; running past its end is a malformed frame.
class Reader {
  public:
    explicit Reader(std::string_view bytes) : bytes_(bytes) {}
    bool done() const { return pos_ == bytes_.size(); }
    std::size_t offset() const { return pos_; }
    std::uint8_t u8() { return static_cast<std::uint8_t>(big_endian(take(1))); }
    std::uint16_t u16() { return static_cast<std::uint16_t>(big_endian(take(2))); }
    std::uint32_t u32() { return static_cast<std::uint32_t>(big_endian(take(4))); }
    std::uint64_t u64() { return big_endian(take(8)); }
    std::string_view shortstr() { return take(u8()); }
    std::string_view longstr() { return take(u32()); }
    std::string_view take(std::size_t size)
    {
        if (size > bytes_.size() - pos_)
            throw ProtocolError{kFrameError, "a field runs past the end of its frame"};
        auto part = bytes_.substr(pos_, size);
        pos_ += size;
        return part;
    }

  private:
    static std::uint64_t big_endian(std::string_view bytes)
    {
        std::uint64_t value = 0;
        for (char byte : bytes)
            value = value << 8 | static_cast<std::uint8_t>(byte);
        return value;
    }
    std::string_view bytes_;
    std::size_t pos_ = 0;
};

// Builds method arguments. A field table is written as the longstr() of its entries.
class Writer {
  public:
    Writer &u8(std::uint8_t value) { return big_endian(value, 1); }
    Writer &u16(std::uint16_t value) { return big_endian(value, 2); }
    Writer &u32(std::uint32_t value) { return big_endian(value, 4); }
    Writer &u64(std::uint64_t value) { return big_endian(value, 8); }
    Writer &shortstr(std::string_view text)
    {
        text = text.substr(0, 255); // our own texts only; a reply text may be cut
        u8(static_cast<std::uint8_t>(text.size()));
        bytes_.append(text);
        return *this;
    }
    Writer &longstr(std::string_view bytes)
    {
        u32(static_cast<std::uint32_t>(bytes.size()));
        bytes_.append(bytes);
        return *this;
    }
    Writer &bool_field(std::string_view name, bool value)
    {
        return shortstr(name).u8('t').u8(value);
    }
    Writer &table_field(std::string_view name, const Writer &table)
    {
        return shortstr(name).u8('F').longstr(table.bytes());
    }
    const std::string &bytes() const { return bytes_; }

  private:
    Writer &big_endian(std::uint64_t value, int size)
    {
        for (int shift = 8 * (size - 1); shift >= 0; shift -= 8)
            bytes_ += static_cast<char>(value >> shift & 0xFF);
        return *this;
    }
    std::string bytes_;
};

struct Field {
    char kind;
    std::string_view value; // as encoded, length prefix included
};

constexpr int kMaxTableDepth = 16; // nesting a client has no reason to exceed
std::optional<Field> find_field(std::string_view table, std::string_view key, int depth = 0);

// Field types whose values have a fixed size, and that size.
constexpr std::pair<char, int> kFixedSizeFields[] = {{'t', 1}, {'b', 1}, {'B', 1}, {'s', 2},
                                                     {'u', 2}, {'I', 4}, {'i', 4}, {'f', 4},
                                                     {'l', 8}, {'L', 8}, {'d', 8}, {'T', 8},
                                                     {'D', 5}, {'V', 0}};

// Steps over one field value, checking nested tables and arrays too.
void skip_field_value(Reader &reader, char kind, int depth)
{
    for (auto [fixed_kind, size] : kFixedSizeFields)
        if (kind == fixed_kind) {
            reader.take(static_cast<std::size_t>(size));
            return;
        }
    if (kind == 'S' || kind == 'x') {
        reader.longstr();
    } else if (depth >= kMaxTableDepth) {
        throw ProtocolError{kSyntaxError, "field tables nested more than 16 deep"};
    } else if (kind == 'F') {
        find_field(reader.longstr(), {}, depth + 1);
    } else if (kind == 'A') {
        Reader items(reader.longstr());
        while (!items.done())
            skip_field_value(items, static_cast<char>(items.u8()), depth + 1);
    } else {
        throw ProtocolError{kFrameError,
                            text("unknown field type ", hex({&kind, 1}), " in a table")};
    }
}

// Walks the whole table, so that a malformed one is refused even when `key` comes early.
std::optional<Field> find_field(std::string_view table, std::string_view key, int depth)
{
    Reader reader(table);
    std::optional<Field> found;
    while (!reader.done()) {
        auto name = reader.shortstr();
        auto kind = static_cast<char>(reader.u8());
        auto start = reader.offset();
        skip_field_value(reader, kind, depth);
        if (!found && !key.empty() && name == key)
            found = Field{kind, table.substr(start, reader.offset() - start)};
    }
    return found;
}

bool capability_on(std::string_view client_properties, std::string_view capability)
{
    auto capabilities = find_field(client_properties, "capabilities");
    if (!capabilities || capabilities->kind != 'F')
        return false;
    auto flag = find_field(Reader(capabilities->value).longstr(), capability);
    return flag && flag->kind == 't' && flag->value[0] != 0;
}

struct Frame {
    std::uint8_t type;
    std::uint16_t channel;
    std::string_view payload; // valid until the next frame is read
};

struct Channel {
    enum class Content { None, Header, Body } content = Content::None;
    bool confirming = false;
    std::uint64_t last_delivery_tag = 0;
    std::uint64_t body_size = 0, body_left = 0;
};

// One client's connection, served on a thread of its own.
class Connection {
  public:
    Connection(int fd, std::string peer, const Options &options)
        : fd_(fd), peer_(std::move(peer)), options_(options)
    {
    }
    ~Connection() { ::close(fd_); }
    void serve();

  private:
    enum class Stage { StartOk, TuneOk, Open, Running, Closed };
    bool read_protocol_header();
    bool fill(std::size_t size);
    std::string_view consume(std::size_t size)
    {
        in_begin_ += size;
        return {in_.data() + in_begin_ - size, size};
    }
    std::optional<Frame> next_frame();
    void send_method(std::uint16_t channel, std::uint32_t id, const Writer &args = Writer{});
    void flush();
    void dispatch(const Frame &frame);
    void on_connection_method(std::uint32_t id, Reader &args);
    void on_start_ok(Reader &args);
    void on_tune_ok(Reader &args);
    void on_channel_method(std::uint16_t number, std::uint32_t id, Reader &args);
    void on_declare(std::uint16_t number, std::uint32_t id, Reader &args);
    void on_content(std::uint16_t number, const Frame &frame);
    void message_done(std::uint16_t number, Channel &channel);
    void pause_reading();
    void close_with(const ProtocolError &error);
    void drain();

    int fd_;
    std::string peer_;
    const Options &options_;
    std::vector<char> in_ = std::vector<char>(1 << 16);
    std::size_t in_begin_ = 0, in_end_ = 0;
    std::string out_; // replies wait here until the next blocking read
    Stage stage_ = Stage::StartOk;
    std::uint32_t frame_max_ = kFrameMax;
    std::uint16_t channel_max_ = kChannelMax;
    bool notify_blocked_ = false;
    std::uint64_t messages_ = 0, queues_named_ = 0;
    std::map<std::uint16_t, Channel> channels_;
};

void Connection::serve()
{
    try {
        if (!read_protocol_header())
            return;
        Writer capabilities;
        capabilities.bool_field("publisher_confirms", true)
            .bool_field("basic.nack", true)
            .bool_field("connection.blocked", true);
        Writer properties; // clients look only at the capabilities
        properties.table_field("capabilities", capabilities);
        send_method(0, kConnectionStart,
                    Writer()
                        .u8(0)
                        .u8(9)
                        .longstr(properties.bytes())
                        .longstr("PLAIN AMQPLAIN")
                        .longstr("en_US"));
        while (stage_ != Stage::Closed) {
            auto frame = next_frame();
            if (!frame)
                return; // the peer went away; nothing to tell it
            dispatch(*frame);
        }
        flush();
    } catch (const ProtocolError &error) {
        close_with(error);
    }
}

bool Connection::read_protocol_header()
{
    if (!fill(kProtocolHeader.size()))
        return false;
    auto header = consume(kProtocolHeader.size());
    if (header == kProtocolHeader)
        return true;
    std::fprintf(stderr, "sink-broker: %s: protocol header %s is not AMQP 0-9-1\n", peer_.c_str(),
                 hex(header).c_str());
    out_ = kProtocolHeader; // tells the client which protocol we speak
    flush();
    return false;
}

// Buffers at least `size` unread bytes; false once the peer has closed or failed.
bool Connection::fill(std::size_t size)
{
    if (in_end_ - in_begin_ >= size)
        return true;
    std::memmove(in_.data(), in_.data() + in_begin_, in_end_ - in_begin_);
    in_end_ -= in_begin_;
    in_begin_ = 0;
    if (in_.size() < size)
        in_.resize(size);
    flush(); // the client may wait for our replies before it sends more
    while (in_end_ < size) {
        ssize_t got = ::recv(fd_, in_.data() + in_end_, in_.size() - in_end_, 0);
        if (got > 0)
            in_end_ += static_cast<std::size_t>(got);
        else if (got == 0 || errno != EINTR)
            return false;
    }
    return true;
}

// The next frame, checked for type, size and frame-end; nullopt once the peer has gone.
std::optional<Frame> Connection::next_frame()
{
    if (!fill(kFrameHeaderSize))
        return std::nullopt;
    Reader header(consume(kFrameHeaderSize));
    Frame frame{header.u8(), header.u16(), {}};
    std::uint32_t size = header.u32();
    if (frame.type != kMethodFrame && frame.type != kHeaderFrame && frame.type != kBodyFrame &&
        frame.type != kHeartbeatFrame)
        throw ProtocolError{kFrameError, text("unknown frame type ", int{frame.type})};
    // frame-max counts the whole frame: header, payload and frame-end
    if (size > frame_max_ - kFrameHeaderSize - 1)
        throw ProtocolError{kFrameError,
                            text("frame of ", size, " bytes past frame-max ", frame_max_)};
    if (!fill(size + 1))
        return std::nullopt;
    frame.payload = consume(size);
    auto end = consume(1);
    if (static_cast<std::uint8_t>(end[0]) != kFrameEnd)
        throw ProtocolError{kFrameError, text("frame ends with ", hex(end), ", not ce")};
    return frame;
}

void Connection::send_method(std::uint16_t channel, std::uint32_t id, const Writer &args)
{
    Writer frame;
    frame.u8(kMethodFrame).u16(channel).u32(static_cast<std::uint32_t>(4 + args.bytes().size()));
    frame.u32(id); // class id then method id, as method_id() packs them
    out_ += frame.bytes();
    out_ += args.bytes();
    out_ += static_cast<char>(kFrameEnd);
}

void Connection::flush()
{
    std::size_t sent = 0;
    while (sent < out_.size()) {
        ssize_t wrote = ::send(fd_, out_.data() + sent, out_.size() - sent, MSG_NOSIGNAL);
        if (wrote < 0 && errno == EINTR)
            continue;
        if (wrote <= 0)
            break; // the peer has gone; the next read ends the connection
        sent += static_cast<std::size_t>(wrote);
    }
    out_.clear();
}

void Connection::dispatch(const Frame &frame)
{
    if (frame.type == kHeartbeatFrame)
        return; // we offered none and need none
    if (frame.channel == 0 && frame.type != kMethodFrame)
        throw ProtocolError{kUnexpectedFrame, "content frame on channel 0"};
    if (frame.channel != 0 && stage_ != Stage::Running)
        throw ProtocolError{kCommandInvalid,
                            text("channel ", frame.channel, " before connection.open")};
    if (frame.type != kMethodFrame)
        return on_content(frame.channel, frame);
    Reader args(frame.payload);
    std::uint32_t id = args.u32();
    try {
        if (frame.channel == 0)
            on_connection_method(id, args);
        else
            on_channel_method(frame.channel, id, args);
    } catch (ProtocolError &error) {
        if (error.method == 0)
            error.method = id; // names the method whose arguments failed
        throw;
    }
}

void Connection::on_connection_method(std::uint32_t id, Reader &args)
{
    if (id == kConnectionClose) {
        send_method(0, kConnectionCloseOk);
        stage_ = Stage::Closed;
    } else if (stage_ == Stage::StartOk && id == kConnectionStartOk) {
        on_start_ok(args);
    } else if (stage_ == Stage::TuneOk && id == kConnectionTuneOk) {
        on_tune_ok(args);
    } else if (stage_ == Stage::Open && id == kConnectionOpen) {
        stage_ = Stage::Running;
        send_method(0, kConnectionOpenOk, Writer().shortstr(""));
    } else {
        throw ProtocolError{kCommandInvalid, text(method_name(id), " out of turn on channel 0")};
    }
}

void Connection::on_start_ok(Reader &args)
{
    auto client_properties = args.longstr();
    args.shortstr(); // any mechanism, credentials and locale will do
    args.longstr();
    args.shortstr();
    // RabbitMQ sends connection.blocked only to clients that said they understand it.
    notify_blocked_ = capability_on(client_properties, "connection.blocked");
    stage_ = Stage::TuneOk;
    send_method(0, kConnectionTune, Writer().u16(kChannelMax).u32(kFrameMax).u16(0));
}

void Connection::on_tune_ok(Reader &args)
{
    std::uint16_t channel_max = args.u16();
    std::uint32_t frame_max = args.u32();
    args.u16(); // heartbeat: we send none, and a silent client is fine
    if (frame_max != 0 && frame_max < 4096)
        throw ProtocolError{kSyntaxError, text("frame-max ", frame_max, " is below 4096")};
    if (frame_max != 0)
        frame_max_ = std::min(frame_max_, frame_max);
    if (channel_max != 0)
        channel_max_ = std::min(channel_max_, channel_max);
    stage_ = Stage::Open;
}

void Connection::on_channel_method(std::uint16_t number, std::uint32_t id, Reader &args)
{
    auto channel = channels_.find(number);
    if (channel != channels_.end() && channel->second.content != Channel::Content::None)
        throw ProtocolError{kUnexpectedFrame,
                            text(method_name(id), " on channel ", number, " while content is due")};
    if (id == kChannelOpen) {
        if (number > channel_max_ || channel != channels_.end())
            throw ProtocolError{kChannelError, text("channel ", number, " open or past max")};
        channels_.emplace(number, Channel{});
        send_method(number, kChannelOpenOk, Writer().longstr(""));
        return;
    }
    if (channel == channels_.end())
        throw ProtocolError{kChannelError, text("channel ", number, " is not open")};
    switch (id) {
    case kChannelClose:
        channels_.erase(channel);
        send_method(number, kChannelCloseOk);
        return;
    case kConfirmSelect:
        channel->second.confirming = true;
        if (!(args.u8() & 1))
            send_method(number, kConfirmSelectOk); // unless no-wait
        return;
    case kExchangeDeclare:
    case kQueueDeclare:
    case kQueueBind:
        return on_declare(number, id, args);
    case kBasicPublish:
        args.u16(); // exchange, routing key and flags: every message goes to the sink
        args.shortstr();
        args.shortstr();
        args.u8();
        channel->second.content = Channel::Content::Header;
        return;
    }
    throw ProtocolError{kNotImplemented, text(method_name(id), " is not supported here")};
}

// Declarations succeed without effect, so that a client may declare what it publishes to.
void Connection::on_declare(std::uint16_t number, std::uint32_t id, Reader &args)
{
    args.u16(); // reserved
    auto name = args.shortstr();
    if (id == kExchangeDeclare)
        args.shortstr(); // type
    if (id == kQueueBind) {
        args.shortstr(); // exchange
        args.shortstr(); // routing key
    }
    std::uint8_t flags = args.u8();
    find_field(args.longstr(), {}); // arguments: only checked
    bool no_wait = id == kQueueBind ? flags & 1 : flags & 0x10;
    if (no_wait)
        return;
    if (id == kExchangeDeclare)
        return send_method(number, kExchangeDeclareOk);
    if (id == kQueueBind)
        return send_method(number, kQueueBindOk);
    std::string queue(name);
    if (queue.empty())
        queue = text("amq.gen-sink-", ++queues_named_);
    send_method(number, kQueueDeclareOk, Writer().shortstr(queue).u32(0).u32(0));
}

// Header and body frames of the message announced by the channel's last basic.publish.
void Connection::on_content(std::uint16_t number, const Frame &frame)
{
    bool is_header = frame.type == kHeaderFrame;
    auto found = channels_.find(number);
    auto expected = is_header ? Channel::Content::Header : Channel::Content::Body;
    if (found == channels_.end() || found->second.content != expected)
        throw ProtocolError{kUnexpectedFrame, text(is_header ? "content header" : "body frame",
                                                   " on channel ", number, " out of turn")};
    Channel &channel = found->second;
    if (is_header) {
        Reader header(frame.payload);
        std::uint16_t class_id = header.u16();
        if (class_id != kBasicClass)
            throw ProtocolError{kUnexpectedFrame, text("content header of class ", class_id)};
        header.u16(); // weight; the properties after the size are the publisher's business
        channel.body_size = channel.body_left = header.u64();
        channel.content = Channel::Content::Body;
    } else if (frame.payload.size() > channel.body_left) {
        throw ProtocolError{kFrameError, text("body on channel ", number, " longer than the ",
                                              channel.body_size, " bytes announced")};
    } else {
        channel.body_left -= frame.payload.size();
    }
    if (channel.body_left == 0)
        message_done(number, channel);
}

void Connection::message_done(std::uint16_t number, Channel &channel)
{
    channel.content = Channel::Content::None;
    total_messages.fetch_add(1, std::memory_order_relaxed);
    total_bytes.fetch_add(channel.body_size, std::memory_order_relaxed);
    if (channel.confirming)
        send_method(number, kBasicAck, Writer().u64(++channel.last_delivery_tag).u8(0));
    if (++messages_ == options_.block_after)
        pause_reading();
}

// Acts like RabbitMQ under a resource alarm: it stops reading a publisher's
// connection, and tells the clients that asked to know.
void Connection::pause_reading()
{
    if (notify_blocked_)
        send_method(0, kConnectionBlocked, Writer().shortstr("test"));
    flush();
    std::this_thread::sleep_for(std::chrono::seconds(options_.block_seconds));
    if (notify_blocked_)
        send_method(0, kConnectionUnblocked);
    flush();
}

void Connection::close_with(const ProtocolError &error)
{
    std::string method = error.method ? " (" + method_name(error.method) + ")" : "";
    std::fprintf(stderr, "sink-broker: %s: closing with %u: %s%s\n", peer_.c_str(), error.code,
                 error.text.c_str(), method.c_str());
    send_method(0, kConnectionClose,
                Writer()
                    .u16(error.code)
                    .shortstr(error.text)
                    .u16(error.method >> 16)
                    .u16(error.method & 0xFFFF));
    flush();
    ::shutdown(fd_, SHUT_WR);
    drain();
}

// Reads and drops what the client still sends until it closes or pauses for a
// second: closing a socket with unread input resets the connection, and the
// client might then never read why it was closed.
void Connection::drain()
{
    timeval second{1, 0};
    ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &second, sizeof second);
    char sink[4096];
    while (::recv(fd_, sink, sizeof sink, 0) > 0) {
    }
}

void serve_connection(int fd, std::string peer, const Options &options)
{
    int on = 1; // acks go out at once, not after Nagle's delay
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    Connection(fd, std::move(peer), options).serve();
}

[[noreturn]] void usage_error(const std::string &problem)
{
    std::fprintf(stderr,
                 "sink-broker: %s\nusage: dirmirror-sink-broker [--port N] [--block-after N] "
                 "[--block-seconds S]\n",
                 problem.c_str());
    std::exit(2);
}

template <typename Number>
Number parse_number(std::string_view flag, std::string_view word, Number max)
{
    Number value{};
    auto [end, error] = std::from_chars(word.data(), word.data() + word.size(), value);
    if (error != std::errc{} || end != word.data() + word.size() || value > max)
        usage_error(text(flag, " takes a whole number from 0 to ", max, ", not '", word, "'"));
    return value;
}

Options parse_options(int argc, char **argv)
{
    Options options;
    for (int i = 1; i < argc; i += 2) {
        std::string_view flag = argv[i];
        if (flag != "--port" && flag != "--block-after" && flag != "--block-seconds")
            usage_error(text("unknown option '", flag, "'"));
        if (i + 1 == argc)
            usage_error(text(flag, " needs a value"));
        std::string_view value = argv[i + 1];
        if (flag == "--port")
            options.port = parse_number<std::uint16_t>(flag, value, 65535);
        else if (flag == "--block-after")
            options.block_after = parse_number<std::uint64_t>(flag, value, UINT64_MAX);
        else
            options.block_seconds = parse_number<std::uint32_t>(flag, value, 86400);
    }
    return options;
}

int listen_on(std::uint16_t port)
{
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int on = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 ||
        ::listen(fd, 128) != 0) {
        std::fprintf(stderr, "sink-broker: cannot listen on 127.0.0.1:%u: %s\n", port,
                     std::strerror(errno));
        std::exit(1);
    }
    socklen_t size = sizeof address;
    ::getsockname(fd, reinterpret_cast<sockaddr *>(&address), &size);
    std::printf("port %u\n", ntohs(address.sin_port));
    std::fflush(stdout);
    return fd;
}

[[noreturn]] void accept_forever(int listener, const Options &options)
{
    while (true) {
        sockaddr_in address{};
        socklen_t size = sizeof address;
        int fd = ::accept4(listener, reinterpret_cast<sockaddr *>(&address), &size, SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno != EINTR && errno != ECONNABORTED) {
                std::perror("sink-broker: accept");
                std::this_thread::sleep_for(std::chrono::milliseconds(100)); // e.g. out of files
            }
            continue;
        }
        char ip[INET_ADDRSTRLEN] = "?";
        ::inet_ntop(AF_INET, &address.sin_addr, ip, sizeof ip);
        std::string peer = text(ip, ":", ntohs(address.sin_port));
        try {
            std::thread(serve_connection, fd, peer, std::cref(options)).detach();
        } catch (const std::system_error &error) {
            std::fprintf(stderr, "sink-broker: no thread for %s: %s\n", peer.c_str(), error.what());
            ::close(fd);
        }
    }
}

} // namespace

int main(int argc, char **argv)
{
    static const Options options = parse_options(argc, argv);
    // Only this thread takes the stop signals, to print the totals; the
    // threads started below inherit the mask.
    sigset_t stop_signals;
    sigemptyset(&stop_signals);
    sigaddset(&stop_signals, SIGTERM);
    sigaddset(&stop_signals, SIGINT);
    pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);
    int listener = listen_on(options.port);
    std::thread(accept_forever, listener, std::cref(options)).detach();
    int signal_number = 0;
    sigwait(&stop_signals, &signal_number);
    std::printf("messages %llu bytes %llu\n",
                static_cast<unsigned long long>(total_messages.load()),
                static_cast<unsigned long long>(total_bytes.load()));
    std::fflush(stdout);
    // Connection threads may be in the middle of a frame: leave without
    // running destructors under them.
    std::_Exit(0);
}

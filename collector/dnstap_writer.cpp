#include "collector/dnstap_writer.hpp"

#include <fstrm.h>
#include <sys/uio.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <stdexcept>
#include <vector>

#include "collector/ip_address.hpp"
#include "dnstap.pb-c.h"

namespace tarn::collector {

namespace {

constexpr char content_type[] = "protobuf:dnstap.Dnstap";
constexpr size_t messages_per_write = 128;  // well below IOV_MAX with a prefix per message

ProtobufCBinaryData bytes_of(const void* data, size_t size) {
    return {size, static_cast<uint8_t*>(const_cast<void*>(data))};
}

// Family and both addresses; left out when a text is no address.
void set_addresses(Dnstap__Message& m, const Message& message, IpAddress& device,
                   IpAddress& server) {
    const bool v6 = is_v6_pair(message.device_ip, message.server_ip);
    device = parse_address(message.device_ip, v6);
    server = parse_address(message.server_ip, v6);
    m.has_socket_family = device.valid || server.valid;
    m.socket_family = v6 ? DNSTAP__SOCKET_FAMILY__INET6 : DNSTAP__SOCKET_FAMILY__INET;
    m.has_query_address = device.valid;
    m.query_address = bytes_of(device.bytes, device.size());
    m.has_response_address = server.valid;
    m.response_address = bytes_of(server.bytes, server.size());
}

}  // namespace

void append_dnstap(Batch& batch, const Message& message, std::string_view identity,
                   std::string_view version) {
    Dnstap__Message m = DNSTAP__MESSAGE__INIT;
    const bool response = message.packet_size > 2 && (message.packet[2] & 0x80) != 0;
    m.type =
        response ? DNSTAP__MESSAGE__TYPE__CLIENT_RESPONSE : DNSTAP__MESSAGE__TYPE__CLIENT_QUERY;
    IpAddress device;
    IpAddress server;
    set_addresses(m, message, device, server);
    m.has_socket_protocol = true;
    m.socket_protocol =
        message.is_tcp != 0 ? DNSTAP__SOCKET_PROTOCOL__TCP : DNSTAP__SOCKET_PROTOCOL__UDP;
    const ProtobufCBinaryData dns = bytes_of(message.packet, message.packet_size);
    (response ? m.has_response_time_sec : m.has_query_time_sec) = true;
    (response ? m.response_time_sec : m.query_time_sec) = message.time;
    (response ? m.has_response_time_nsec : m.has_query_time_nsec) = true;
    (response ? m.has_response_message : m.has_query_message) = true;
    (response ? m.response_message : m.query_message) = dns;

    Dnstap__Dnstap d = DNSTAP__DNSTAP__INIT;
    d.type = DNSTAP__DNSTAP__TYPE__MESSAGE;
    d.message = &m;
    d.has_identity = true;
    d.identity = bytes_of(identity.data(), identity.size());
    d.has_version = !version.empty();
    d.version = bytes_of(version.data(), version.size());
    const size_t at = batch.bytes.size();
    batch.bytes.resize(at + dnstap__dnstap__get_packed_size(&d));
    dnstap__dnstap__pack(&d, reinterpret_cast<uint8_t*>(&batch.bytes[at]));
    batch.seal();
}

namespace {

struct WriterOptionsFree {
    void operator()(fstrm_writer_options* o) const { fstrm_writer_options_destroy(&o); }
    void operator()(fstrm_unix_writer_options* o) const { fstrm_unix_writer_options_destroy(&o); }
    void operator()(fstrm_tcp_writer_options* o) const { fstrm_tcp_writer_options_destroy(&o); }
    void operator()(fstrm_file_options* o) const { fstrm_file_options_destroy(&o); }
};
template <typename T>
using Options = std::unique_ptr<T, WriterOptionsFree>;

bool starts_with(const std::string& text, const char* prefix) {
    return text.compare(0, std::char_traits<char>::length(prefix), prefix) == 0;
}

fstrm_writer* tcp_writer(const std::string& endpoint, const fstrm_writer_options* wopt) {
    const size_t colon = endpoint.rfind(':');
    std::string address = endpoint.substr(0, colon == std::string::npos ? 0 : colon);
    const std::string port = colon == std::string::npos ? "" : endpoint.substr(colon + 1);
    if (address.size() > 2 && address.front() == '[' && address.back() == ']') {
        address = address.substr(1, address.size() - 2);
    }
    if (address.empty() || port.empty() ||
        port.find_first_not_of("0123456789") != std::string::npos) {
        throw std::runtime_error("not tcp:ADDR:PORT: tcp:" + endpoint);
    }
    Options<fstrm_tcp_writer_options> tcp(fstrm_tcp_writer_options_init());
    fstrm_tcp_writer_options_set_socket_address(tcp.get(), address.c_str());
    fstrm_tcp_writer_options_set_socket_port(tcp.get(), port.c_str());
    return fstrm_tcp_writer_init(tcp.get(), wopt);
}

fstrm_writer* make_writer(const std::string& target, const fstrm_writer_options* wopt) {
    if (starts_with(target, "unix:")) {
        Options<fstrm_unix_writer_options> unix_options(fstrm_unix_writer_options_init());
        fstrm_unix_writer_options_set_socket_path(unix_options.get(), target.c_str() + 5);
        return fstrm_unix_writer_init(unix_options.get(), wopt);
    }
    if (starts_with(target, "tcp:")) {
        return tcp_writer(target.substr(4), wopt);
    }
    Options<fstrm_file_options> file(fstrm_file_options_init());
    fstrm_file_options_set_file_path(file.get(), target.c_str());
    return fstrm_file_writer_init(file.get(), wopt);
}

}  // namespace

DnstapSink::DnstapSink(const std::string& target)
    : target(target), receiver(starts_with(target, "unix:") || starts_with(target, "tcp:")) {
    Options<fstrm_writer_options> wopt(fstrm_writer_options_init());
    fstrm_writer_options_add_content_type(wopt.get(), content_type, sizeof(content_type) - 1);
    writer = make_writer(target, wopt.get());
    if (writer == nullptr) {
        throw std::runtime_error("cannot set up the dnstap output " + target);
    }
    if (!receiver && fstrm_writer_open(writer) != fstrm_res_success) {
        fstrm_writer_destroy(&writer);
        throw std::runtime_error("cannot create " + target);
    }
}

DnstapSink::~DnstapSink() {
    fstrm_writer_destroy(&writer);
}

bool DnstapSink::open() {
    const bool opened = fstrm_writer_open(writer) == fstrm_res_success;
    if (receiver && static_cast<int>(opened) != reported) {
        std::fprintf(stderr, "collector: dnstap %s: %s\n", target.c_str(),
                     opened ? "connected" : "cannot connect; trying again with back-off");
        std::fflush(stderr);
        reported = opened;
    }
    return opened;
}

bool DnstapSink::write(const Batch& batch) {
    std::vector<iovec> pieces;
    size_t at = 0;
    for (size_t first = 0; first < batch.count(); first += messages_per_write) {
        pieces.clear();
        for (size_t i = first; i < std::min(batch.count(), first + messages_per_write); ++i) {
            pieces.push_back({const_cast<char*>(batch.bytes.data() + at), batch.sizes[i]});
            at += batch.sizes[i];
        }
        if (fstrm_writer_writev(writer, pieces.data(), static_cast<int>(pieces.size())) !=
            fstrm_res_success) {
            // The batch counts as lost whole, though a part of it may have gone out.
            if (receiver) {
                std::fprintf(stderr, "collector: dnstap %s: connection lost\n", target.c_str());
                std::fflush(stderr);
                reported = 0;
                fstrm_writer_close(writer);
            }
            return false;
        }
    }
    return true;
}

void DnstapSink::close() {
    fstrm_writer_close(writer);
}

}  // namespace tarn::collector

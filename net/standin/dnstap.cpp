#include "net/standin/dnstap.hpp"

#include <cstring>

#include "support/byte_order.hpp"

namespace tarn::net::dnstap {

namespace {

enum WireType : uint32_t {
    wire_varint = 0,
    wire_fixed64 = 1,
    wire_bytes = 2,
    wire_group_start = 3,
    wire_group_end = 4,
    wire_fixed32 = 5,
};

constexpr int max_group_depth = 32;

class Reader {
  public:
    Reader(const uint8_t* data, size_t size) : position(data), end(data + size) {}

    bool done() const { return position == end; }

    // At most ten bytes, the last one carrying only the top bit of 64.
    bool varint(uint64_t& value) {
        if (position != end && *position < 0x80) {  // tags and most values: one byte
            value = *position++;
            return true;
        }
        value = 0;
        for (int shift = 0; shift < 64; shift += 7) {
            if (position == end) {
                return false;
            }
            uint8_t byte = *position++;
            if (shift == 63 && byte > 1) {
                return false;
            }
            value |= static_cast<uint64_t>(byte & 0x7F) << shift;
            if ((byte & 0x80) == 0) {
                return true;
            }
        }
        return false;
    }

    bool tag(uint32_t& field, uint32_t& wire) {
        uint64_t value;
        if (!varint(value) || value > 0xFFFFFFFF) {
            return false;
        }
        field = static_cast<uint32_t>(value >> 3);
        wire = static_cast<uint32_t>(value & 7);
        return field != 0;
    }

    bool fixed32(uint32_t& value) {
        if (end - position < 4) {
            return false;
        }
        value = load_le32(position);
        position += 4;
        return true;
    }

    bool bytes(Field& field) {
        uint64_t length;
        if (!varint(length) || length > static_cast<uint64_t>(end - position)) {
            return false;
        }
        field.data = position;
        field.size = static_cast<uint32_t>(length);
        field.present = true;
        position += length;
        return true;
    }

    bool skip(size_t count) {
        if (static_cast<size_t>(end - position) < count) {
            return false;
        }
        position += count;
        return true;
    }

    // Skips the value of a field that is not read, groups included.
    bool skip_value(uint32_t field, uint32_t wire) {
        if (wire == wire_group_start) {
            return skip_group(field);
        }
        return skip_scalar(wire);
    }

  private:
    bool skip_scalar(uint32_t wire) {
        uint64_t ignored;
        Field ignored_bytes;
        switch (wire) {
            case wire_varint:
                return varint(ignored);
            case wire_fixed64:
                return skip(8);
            case wire_bytes:
                return bytes(ignored_bytes);
            case wire_fixed32:
                return skip(4);
            default:
                return false;  // a stray group end, or wire types 6 and 7
        }
    }

    // Every group must end with the number it began with.
    bool skip_group(uint32_t field) {
        uint32_t open[max_group_depth];
        int depth = 0;
        open[depth++] = field;
        while (depth > 0) {
            uint32_t number;
            uint32_t wire;
            if (!tag(number, wire)) {
                return false;
            }
            if (wire == wire_group_end) {
                if (number != open[depth - 1]) {
                    return false;
                }
                --depth;
            } else if (wire == wire_group_start) {
                if (depth == max_group_depth) {
                    return false;
                }
                open[depth++] = number;
            } else if (!skip_scalar(wire)) {
                return false;
            }
        }
        return true;
    }

    const uint8_t* position;
    const uint8_t* end;
};

bool read_u32(Reader& reader, uint32_t& value) {
    uint64_t wide;
    if (!reader.varint(wide)) {
        return false;
    }
    value = static_cast<uint32_t>(wide);  // uint32 and enum fields keep the low 32 bits
    return true;
}

// Hands every field of an encoded message to read_field(reader, field, wire), which reads or
// skips its value; false when a tag or a value is malformed.
template <typename ReadField>
bool read_fields(const uint8_t* data, size_t size, ReadField read_field) {
    Reader reader(data, size);
    while (!reader.done()) {
        uint32_t field;
        uint32_t wire;
        if (!reader.tag(field, wire) || !read_field(reader, field, wire)) {
            return false;
        }
    }
    return true;
}

// The field numbers of dnstap.proto that the stand-in reads.
enum DnstapField : uint32_t {
    dnstap_message = 14,  // Dnstap.message
    dnstap_type = 15,     // Dnstap.type
};
enum MessageField : uint32_t {
    type_field = 1,
    socket_family = 2,
    socket_protocol = 3,
    query_address = 4,
    response_address = 5,
    query_port = 6,
    query_time_sec = 8,
    query_time_nsec = 9,
    query_message = 10,
    response_time_sec = 12,
    response_time_nsec = 13,
    response_message = 14,
};

bool read_varint_field(Reader& reader, uint32_t field, Message& message, bool& known) {
    known = true;
    switch (field) {
        case type_field:
            return read_u32(reader, message.type);
        case socket_family:
            return read_u32(reader, message.socket_family);
        case socket_protocol:
            return read_u32(reader, message.socket_protocol);
        case query_port:
            message.has_query_port = true;
            return read_u32(reader, message.query_port);
        case query_time_sec:
            message.has_query_time = true;
            return reader.varint(message.query_time_sec);
        case response_time_sec:
            message.has_response_time = true;
            return reader.varint(message.response_time_sec);
        default:
            known = false;
            return true;
    }
}

Field* bytes_field(uint32_t field, Message& message) {
    switch (field) {
        case query_address:
            return &message.query_address;
        case response_address:
            return &message.response_address;
        case query_message:
            return &message.query_message;
        case response_message:
            return &message.response_message;
        default:
            return nullptr;
    }
}

// One field of Dnstap.message; a repeated occurrence merges into the same fields, as protobuf
// does, and a known number with another wire type is an unknown field.
bool read_message_field(Reader& reader, uint32_t field, uint32_t wire, Message& message) {
    bool known = false;
    if (wire == wire_varint) {
        bool ok = read_varint_field(reader, field, message, known);
        if (known) {
            return ok;
        }
    } else if (wire == wire_fixed32 && (field == query_time_nsec || field == response_time_nsec)) {
        return reader.fixed32(field == query_time_nsec ? message.query_time_nsec
                                                       : message.response_time_nsec);
    } else if (Field* bytes = wire == wire_bytes ? bytes_field(field, message) : nullptr) {
        return reader.bytes(*bytes);
    }
    return reader.skip_value(field, wire);
}

bool decode_message(const Field& encoded, Message& message) {
    return read_fields(encoded.data, encoded.size,
                       [&message](Reader& reader, uint32_t field, uint32_t wire) {
                           return read_message_field(reader, field, wire, message);
                       });
}

// The decimal text of every byte value, its length in the fourth byte: one load and one store
// per byte of an address instead of divisions.
struct ByteTexts {
    char text[256][4] = {};
    constexpr ByteTexts() {
        for (int value = 0; value < 256; ++value) {
            char* out = text[value];
            int length = 0;
            if (value >= 100) {
                out[length++] = static_cast<char>('0' + value / 100);
            }
            if (value >= 10) {
                out[length++] = static_cast<char>('0' + value / 10 % 10);
            }
            out[length++] = static_cast<char>('0' + value % 10);
            out[3] = static_cast<char>(length);
        }
    }
};
constexpr ByteTexts byte_texts;

// Stores four bytes, of which the text's one to three count: out needs room for them.
char* put_byte_decimal(char* out, uint8_t value) {
    std::memcpy(out, byte_texts.text[value], 4);
    return out + byte_texts.text[value][3];
}

char* put_ipv4(char* out, const uint8_t* bytes) {
    for (int i = 0; i < 4; ++i) {
        if (i > 0) {
            *out++ = '.';
        }
        out = put_byte_decimal(out, bytes[i]);
    }
    return out;
}

char* put_hex(char* out, unsigned value) {
    static const char hex[] = "0123456789abcdef";
    bool started = false;
    for (int shift = 12; shift >= 0; shift -= 4) {
        unsigned digit = (value >> shift) & 0xF;
        if (digit != 0 || started || shift == 0) {
            *out++ = hex[digit];
            started = true;
        }
    }
    return out;
}

// The same text as inet_ntop: the longest run of two or more zero groups (the first of equal
// runs) becomes "::"; IPv4-mapped and IPv4-compatible addresses end in a dotted quad.
char* put_ipv6(char* out, const uint8_t* bytes) {
    unsigned words[8];
    for (int i = 0; i < 8; ++i) {
        words[i] = load_be16(bytes + 2 * i);
    }
    int best_base = -1;
    int best_length = 0;
    for (int i = 0; i < 8;) {
        if (words[i] != 0) {
            ++i;
            continue;
        }
        int base = i;
        while (i < 8 && words[i] == 0) {
            ++i;
        }
        if (i - base > best_length) {
            best_base = base;
            best_length = i - base;
        }
    }
    if (best_length < 2) {
        best_base = -1;
    }
    for (int i = 0; i < 8; ++i) {
        if (best_base != -1 && i >= best_base && i < best_base + best_length) {
            if (i == best_base) {
                *out++ = ':';
            }
            continue;
        }
        if (i != 0) {
            *out++ = ':';
        }
        if (i == 6 && best_base == 0 &&
            (best_length == 6 || (best_length == 5 && words[5] == 0xFFFF))) {
            return put_ipv4(out, bytes + 12);
        }
        out = put_hex(out, words[i]);
    }
    if (best_base != -1 && best_base + best_length == 8) {
        *out++ = ':';
    }
    return out;
}

}  // namespace

bool decode(const uint8_t* data, size_t size, Message& message) {
    message = Message();
    return read_fields(data, size, [&message](Reader& reader, uint32_t field, uint32_t wire) {
        bool ok = true;
        if (field == dnstap_type && wire == wire_varint) {
            ok = read_u32(reader, message.dnstap_type);
            message.has_dnstap_type = true;
        } else if (field == dnstap_message && wire == wire_bytes) {
            Field encoded;
            ok = reader.bytes(encoded) && decode_message(encoded, message);
            message.has_message = true;
        } else {
            ok = reader.skip_value(field, wire);
        }
        return ok;
    });
}

size_t address_text(const Field& address, char* out) {
    static const uint8_t mapped_prefix[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};
    char* const start = out;
    if (address.present && address.size == 4) {
        out = put_ipv4(out, address.data);
    } else if (address.present && address.size == 16 &&
               std::memcmp(address.data, mapped_prefix, sizeof mapped_prefix) == 0) {
        out = put_ipv4(out, address.data + 12);
    } else if (address.present && address.size == 16) {
        out = put_ipv6(out, address.data);
    }
    *out = '\0';
    return static_cast<size_t>(out - start);
}

}  // namespace tarn::net::dnstap

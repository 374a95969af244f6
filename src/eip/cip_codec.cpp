#include "eip/cip_codec.h"

#include <cctype>
#include <charconv>

namespace eip::codec {

void putU16(Bytes& b, uint16_t v) {
    b.push_back(static_cast<uint8_t>(v & 0xff));
    b.push_back(static_cast<uint8_t>(v >> 8));
}

void putU32(Bytes& b, uint32_t v) {
    putU16(b, static_cast<uint16_t>(v & 0xffff));
    putU16(b, static_cast<uint16_t>(v >> 16));
}

uint16_t getU16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
uint32_t getU32(const uint8_t* p) { return getU16(p) | (static_cast<uint32_t>(getU16(p + 2)) << 16); }

namespace {

std::string_view trim(std::string_view s) {
    while (!s.empty() && std::isspace(static_cast<unsigned char>(s.front()))) s.remove_prefix(1);
    while (!s.empty() && std::isspace(static_cast<unsigned char>(s.back()))) s.remove_suffix(1);
    return s;
}

bool parseUnsigned(std::string_view s, uint32_t& v) {
    s = trim(s);
    if (s.empty()) return false;
    auto [p, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
    return ec == std::errc() && p == s.data() + s.size();
}

bool symbolChar(char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == ':'; }

void putElement(Bytes& out, uint32_t index) {
    if (index <= 0xff) {
        out.push_back(0x28);
        out.push_back(static_cast<uint8_t>(index));
    } else if (index <= 0xffff) {
        out.push_back(0x29);
        out.push_back(0);
        putU16(out, static_cast<uint16_t>(index));
    } else {
        out.push_back(0x2A);
        out.push_back(0);
        putU32(out, index);
    }
}

// One dotted part: symbol, then an optional "[i]" or "[i,j,...]".
bool encodePart(std::string_view part, Bytes& out) {
    size_t bracket = part.find('[');
    std::string_view symbol = part.substr(0, bracket);
    if (symbol.empty() || symbol.size() > 255) return false;
    for (char c : symbol)
        if (!symbolChar(c)) return false;
    out.push_back(0x91);
    out.push_back(static_cast<uint8_t>(symbol.size()));
    out.insert(out.end(), symbol.begin(), symbol.end());
    if (symbol.size() % 2) out.push_back(0);
    if (bracket == std::string_view::npos) return true;
    if (part.back() != ']') return false;
    std::string_view inside = part.substr(bracket + 1, part.size() - bracket - 2);
    if (inside.empty()) return false;
    while (true) {
        size_t comma = inside.find(',');
        uint32_t index = 0;
        if (!parseUnsigned(inside.substr(0, comma), index)) return false;
        putElement(out, index);
        if (comma == std::string_view::npos) break;
        inside.remove_prefix(comma + 1);
    }
    return true;
}

}  // namespace

bool encodeTagPath(std::string_view name, Bytes& out) {
    out.clear();
    if (name.empty() || name.size() > 512) return false;
    size_t start = 0;
    int depth = 0;
    for (size_t i = 0; i <= name.size(); ++i) {
        char c = i < name.size() ? name[i] : '.';
        if (c == '[') ++depth;
        if (c == ']') --depth;
        if (depth < 0 || depth > 1) return false;
        if (c == '.' && depth == 0) {
            if (!encodePart(name.substr(start, i - start), out)) return false;
            start = i + 1;
        }
    }
    return depth == 0 && out.size() <= 510;
}

bool encodeRoutePath(std::string_view text, Bytes& out) {
    out.clear();
    std::vector<std::string_view> pieces;
    while (true) {
        size_t comma = text.find(',');
        pieces.push_back(trim(text.substr(0, comma)));
        if (comma == std::string_view::npos) break;
        text.remove_prefix(comma + 1);
    }
    if (pieces.size() % 2 != 0 || pieces.size() > 16) return false;
    for (size_t i = 0; i < pieces.size(); i += 2) {
        uint32_t port = 0;
        if (!parseUnsigned(pieces[i], port) || port < 1 || port > 14) return false;
        std::string_view link = pieces[i + 1];
        if (link.find('.') != std::string_view::npos) {
            if (link.size() > 15) return false;
            for (char c : link)
                if (!std::isdigit(static_cast<unsigned char>(c)) && c != '.') return false;
            out.push_back(static_cast<uint8_t>(port | 0x10));
            out.push_back(static_cast<uint8_t>(link.size()));
            out.insert(out.end(), link.begin(), link.end());
            if (link.size() % 2) out.push_back(0);
        } else {
            uint32_t address = 0;
            if (!parseUnsigned(link, address) || address > 255) return false;
            out.push_back(static_cast<uint8_t>(port));
            out.push_back(static_cast<uint8_t>(address));
        }
    }
    return !out.empty();
}

Bytes encapsulate(uint16_t command, uint32_t session, uint64_t context, const Bytes& data) {
    Bytes b;
    b.reserve(kHeaderSize + data.size());
    putU16(b, command);
    putU16(b, static_cast<uint16_t>(data.size()));
    putU32(b, session);
    putU32(b, 0);
    putU32(b, static_cast<uint32_t>(context));
    putU32(b, static_cast<uint32_t>(context >> 32));
    putU32(b, 0);
    b.insert(b.end(), data.begin(), data.end());
    return b;
}

Bytes registerSession() {
    Bytes d;
    putU16(d, 1);
    putU16(d, 0);
    return encapsulate(kCmdRegisterSession, 0, 0, d);
}

Bytes sendRRData(uint32_t session, uint64_t context, const Bytes& cip) {
    Bytes d;
    putU32(d, 0);  // interface handle
    putU16(d, 0);  // timeout: the request's own time-out applies
    putU16(d, 2);
    putU16(d, kItemNullAddress);
    putU16(d, 0);
    putU16(d, kItemUnconnectedData);
    putU16(d, static_cast<uint16_t>(cip.size()));
    d.insert(d.end(), cip.begin(), cip.end());
    return encapsulate(kCmdSendRRData, session, context, d);
}

Bytes readTagRequest(const Bytes& path, uint16_t count, int64_t offset) {
    Bytes b;
    b.reserve(path.size() + 8);  // one allocation for the whole request
    b.push_back(offset < 0 ? kSvcReadTag : kSvcReadTagFragmented);
    b.push_back(static_cast<uint8_t>(path.size() / 2));
    b.insert(b.end(), path.begin(), path.end());
    putU16(b, count);
    if (offset >= 0) putU32(b, static_cast<uint32_t>(offset));
    return b;
}

Bytes unconnectedSend(const Bytes& request, const Bytes& route) {
    Bytes b{kSvcUnconnectedSend, 0x02, 0x20, 0x06, 0x24, 0x01};
    b.push_back(0x0A);  // tick of 1024 ms
    b.push_back(0x05);  // five ticks
    putU16(b, static_cast<uint16_t>(request.size()));
    b.insert(b.end(), request.begin(), request.end());
    if (request.size() % 2) b.push_back(0);
    b.push_back(static_cast<uint8_t>(route.size() / 2));
    b.push_back(0);
    b.insert(b.end(), route.begin(), route.end());
    return b;
}

Header parseHeader(const uint8_t* p) {
    Header h;
    h.command = getU16(p);
    h.length = getU16(p + 2);
    h.session = getU32(p + 4);
    h.status = getU32(p + 8);
    h.context = getU32(p + 12) | (static_cast<uint64_t>(getU32(p + 16)) << 32);
    return h;
}

bool unconnectedReply(const uint8_t* data, size_t size, Bytes& cip) {
    if (size < 8) return false;
    size_t count = getU16(data + 6);
    size_t pos = 8;
    for (size_t i = 0; i < count; ++i) {
        if (pos + 4 > size) return false;
        uint16_t type = getU16(data + pos);
        size_t len = getU16(data + pos + 2);
        pos += 4;
        if (pos + len > size) return false;
        if (type == kItemUnconnectedData) {
            cip.assign(data + pos, data + pos + len);
            return true;
        }
        pos += len;
    }
    return false;
}

bool parseReadReply(const Bytes& cip, CipReply& out) {
    if (cip.size() < 4) return false;
    out.service = cip[0];
    out.status = cip[2];
    size_t pos = 4 + static_cast<size_t>(cip[3]) * 2;
    if (pos > cip.size()) return false;
    out.data.clear();
    out.typeCode = 0;
    if (out.status != 0 && out.status != kStatusPartial) return true;
    if (pos + 2 > cip.size()) return false;
    out.typeCode = getU16(cip.data() + pos);
    pos += out.typeCode == 0x02A0 ? 4 : 2;
    if (pos > cip.size()) return false;
    out.data.assign(cip.begin() + static_cast<long>(pos), cip.end());
    return true;
}

}  // namespace eip::codec

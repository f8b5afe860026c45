#include "codec/base64.h"

#include <openssl/evp.h>

namespace {

// EVP's block calls take an int length, so long texts go to them in pieces
// of whole groups: a multiple of 3 bytes (encoding) and of 4 characters
// (decoding), far below the int range.
constexpr size_t kPieceBytes = 3 * 4 * 4096;

// EVP_EncodeBlock ends its output with a NUL, which needs room too.
constexpr size_t kEncodeTerminator = 1;

unsigned char* WritableBytes(std::string& text, size_t at) {
    return reinterpret_cast<unsigned char*>(text.data() + at);
}

const unsigned char* Bytes(std::string_view text) {
    return reinterpret_cast<const unsigned char*>(text.data());
}

template <typename Convert>
std::string ByPieces(std::string_view input, Convert convert) {
    std::string out;
    for (size_t at = 0; at < input.size(); at += kPieceBytes) {
        convert(input.substr(at, kPieceBytes), out);
    }
    return out;
}

void EncodePiece(std::string_view piece, std::string& out) {
    const size_t at = out.size();
    out.resize(at + (piece.size() + 2) / 3 * 4 + kEncodeTerminator);
    const int written = EVP_EncodeBlock(WritableBytes(out, at), Bytes(piece), int(piece.size()));
    out.resize(at + size_t(written));
}

// `groups` holds whole groups of four alphabet characters, "=" only at the
// end of the last one. EVP counts the padded places as zero bytes.
void DecodePiece(std::string_view groups, std::string& out) {
    const size_t at = out.size();
    out.resize(at + groups.size() / 4 * 3);
    const int written = EVP_DecodeBlock(WritableBytes(out, at), Bytes(groups), int(groups.size()));
    out.resize(written < 0 ? at : at + size_t(written));
}

bool InAlphabet(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' ||
           c == '/';
}

}  // namespace

std::string Base64Encode(std::string_view bytes) {
    return ByPieces(bytes, EncodePiece);
}

std::string Base64Decode(std::string_view text) {
    // Padding and line breaks are skipped like any foreign byte, so a "=" in
    // the middle neither ends nor restarts the group in progress; EVP, which
    // refuses all of these, only sees the alphabet characters.
    std::string groups;
    groups.reserve(text.size());
    for (char c : text) {
        if (InAlphabet(c)) groups += c;
    }
    // A lone last character carries less than a byte.
    if (groups.size() % 4 == 1) groups.pop_back();
    const size_t padding = (4 - groups.size() % 4) % 4;
    groups.append(padding, '=');
    std::string out = ByPieces(groups, DecodePiece);
    out.resize(out.size() >= padding ? out.size() - padding : 0);
    return out;
}

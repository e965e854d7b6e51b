#include "wire/zlib_codec.h"

#define ZLIB_CONST
#include <zlib.h>

#include <algorithm>
#include <climits>
#include <new>
#include <stdexcept>

namespace rk::wire {
namespace {

constexpr int kWindowBits = 15;
constexpr int kMemLevel = 8;
constexpr std::size_t kFirstOutput = 256;
// zlib counts in uInt; larger buffers are handed over in pieces.
constexpr std::size_t kMaxPiece = UINT_MAX;

int zlib_level(CompressLevel level) {
    switch (level) {
        case CompressLevel::none:
            return Z_NO_COMPRESSION;
        case CompressLevel::fastest:
            return Z_BEST_SPEED;
        case CompressLevel::normal:
            return Z_DEFAULT_COMPRESSION;
        case CompressLevel::max:
            return Z_BEST_COMPRESSION;
    }
    return Z_DEFAULT_COMPRESSION;
}

CodecResult failure(std::string what, const z_stream& zs) {
    CodecResult result;
    result.error = std::move(what);
    if (zs.msg != nullptr) {
        result.error += ": ";
        result.error += zs.msg;
    }
    return result;
}

// Moves the input and output windows of a z_stream over buffers that may be
// larger than zlib's uInt counters, and grows the output up to a limit.
class Buffers {
public:
    Buffers(z_stream& zs, std::span<const std::uint8_t> input, std::size_t first_output,
            std::size_t output_limit)
        : zs_(zs), input_(input), limit_(output_limit) {
        out_.resize(std::min(first_output, limit_));
    }

    void feed() {
        if (zs_.avail_in == 0 && consumed_ < input_.size()) {
            const std::size_t piece = std::min(input_.size() - consumed_, kMaxPiece);
            zs_.next_in = input_.data() + consumed_;
            zs_.avail_in = static_cast<uInt>(piece);
            consumed_ += piece;
        }
    }

    bool input_exhausted() const { return zs_.avail_in == 0 && consumed_ == input_.size(); }

    // False when the output already holds `output_limit` bytes and is full.
    bool make_room() {
        if (zs_.avail_out != 0) return true;
        if (filled_ == out_.size()) {
            if (out_.size() >= limit_) return false;
            const std::size_t doubled = out_.size() > limit_ / 2 ? limit_ : out_.size() * 2;
            out_.resize(std::max(doubled, std::min(kFirstOutput, limit_)));
        }
        zs_.next_out = out_.data() + filled_;
        zs_.avail_out = static_cast<uInt>(std::min(out_.size() - filled_, kMaxPiece));
        return true;
    }

    void account() { filled_ = static_cast<std::size_t>(zs_.next_out - out_.data()); }

    std::size_t filled() const { return filled_; }

    std::vector<std::uint8_t> take() {
        out_.resize(filled_);
        return std::move(out_);
    }

private:
    z_stream& zs_;
    std::span<const std::uint8_t> input_;
    std::size_t consumed_ = 0;
    std::vector<std::uint8_t> out_;
    std::size_t filled_ = 0;
    std::size_t limit_;
};

CodecResult deflate_all(z_stream& zs, std::span<const std::uint8_t> input) {
    Buffers buffers(zs, input, deflateBound(&zs, input.size()), SIZE_MAX);
    for (;;) {
        buffers.feed();
        buffers.make_room();
        const int flush = buffers.input_exhausted() ? Z_FINISH : Z_NO_FLUSH;
        const int rc = deflate(&zs, flush);
        buffers.account();
        if (rc == Z_STREAM_END) break;
        if (rc != Z_OK && rc != Z_BUF_ERROR) return failure("deflate failed", zs);
    }
    CodecResult result;
    result.bytes = buffers.take();
    return result;
}

CodecResult inflate_all(z_stream& zs, std::span<const std::uint8_t> input, std::size_t max_output) {
    // One byte of headroom tells "ends exactly at the cap" from "goes past it".
    const std::size_t limit = max_output == SIZE_MAX ? max_output : max_output + 1;
    const std::size_t guess = input.size() > SIZE_MAX / 4 ? SIZE_MAX : input.size() * 4;
    Buffers buffers(zs, input, std::max(guess, kFirstOutput), limit);
    for (;;) {
        buffers.feed();
        if (!buffers.make_room()) return failure("inflates past the size limit", zs);
        const int rc = inflate(&zs, Z_NO_FLUSH);
        buffers.account();
        if (buffers.filled() > max_output) return failure("inflates past the size limit", zs);
        switch (rc) {
            case Z_STREAM_END: {
                CodecResult result;
                result.bytes = buffers.take();
                return result;
            }
            case Z_OK:
                break;
            case Z_BUF_ERROR:
                // No progress was possible: with the output full the next
                // round grows it, with the input used up the stream is cut.
                if (buffers.input_exhausted()) return failure("truncated stream", zs);
                break;
            case Z_NEED_DICT:
                return failure("stream needs a preset dictionary", zs);
            default:
                return failure("corrupt stream", zs);
        }
    }
}

}  // namespace

CodecResult compress(std::span<const std::uint8_t> input, CompressLevel level) {
    z_stream zs{};
    if (deflateInit2(&zs, zlib_level(level), Z_DEFLATED, kWindowBits, kMemLevel,
                     Z_DEFAULT_STRATEGY) != Z_OK) {
        return failure("deflateInit2 failed", zs);
    }
    CodecResult result;
    try {
        result = deflate_all(zs, input);
    } catch (const std::bad_alloc&) {
        result = failure("out of memory", zs);
    } catch (const std::length_error&) {
        result = failure("out of memory", zs);
    }
    deflateEnd(&zs);
    return result;
}

CodecResult decompress(std::span<const std::uint8_t> input, std::size_t max_output) {
    z_stream zs{};
    if (inflateInit2(&zs, kWindowBits) != Z_OK) return failure("inflateInit2 failed", zs);
    CodecResult result;
    try {
        result = inflate_all(zs, input, max_output);
    } catch (const std::bad_alloc&) {
        result = failure("out of memory", zs);
    } catch (const std::length_error&) {
        result = failure("out of memory", zs);
    }
    inflateEnd(&zs);
    return result;
}

}  // namespace rk::wire

#include "disk/decompress.h"

#include <zlib.h>

#include <climits>
#include <string>

#ifdef PRENDLE_HAVE_ZSTD
#include <zstd.h>
#endif

namespace prendle {

namespace {

Result<size_t> inflateInto(int windowBits, std::span<const uint8_t> in, std::span<uint8_t> out) {
    if (in.size() > UINT_MAX || out.size() > UINT_MAX)
        return corruptError("compressed piece of " + std::to_string(in.size()) +
                            " bytes is too large");
    z_stream stream{};
    if (inflateInit2(&stream, windowBits) != Z_OK) return ioError("zlib: cannot start inflate");
    stream.next_in = const_cast<Bytef*>(in.data());
    stream.avail_in = static_cast<uInt>(in.size());
    stream.next_out = out.data();
    stream.avail_out = static_cast<uInt>(out.size());
    int status = inflate(&stream, Z_FINISH);
    size_t produced = out.size() - stream.avail_out;
    inflateEnd(&stream);
    // Z_BUF_ERROR with a full output is a stream longer than the cluster: keep the cluster.
    if (status == Z_STREAM_END || (status == Z_BUF_ERROR && stream.avail_out == 0)) return produced;
    return corruptError(std::string("deflate data is damaged (zlib status ") +
                        std::to_string(status) + ", " + std::to_string(produced) + " of " +
                        std::to_string(out.size()) + " bytes decoded)");
}

}  // namespace

bool zstdAvailable() {
#ifdef PRENDLE_HAVE_ZSTD
    return true;
#else
    return false;
#endif
}

Result<size_t> decompressInto(Compression method, std::span<const uint8_t> in,
                              std::span<uint8_t> out) {
    switch (method) {
        case Compression::DeflateRaw:
            return inflateInto(-15, in, out);
        case Compression::Zlib:
            return inflateInto(15, in, out);
        case Compression::Zstd: {
#ifdef PRENDLE_HAVE_ZSTD
            ZSTD_DCtx* context = ZSTD_createDCtx();
            if (!context) return ioError("zstd: cannot start a decoder");
            ZSTD_inBuffer input{in.data(), in.size(), 0};
            ZSTD_outBuffer output{out.data(), out.size(), 0};
            size_t status = 1;
            // One frame per cluster; what follows it is padding to the next sector.
            while (output.pos < output.size && input.pos < input.size) {
                const size_t inBefore = input.pos, outBefore = output.pos;
                status = ZSTD_decompressStream(context, &output, &input);
                if (ZSTD_isError(status) || status == 0) break;
                if (input.pos == inBefore && output.pos == outBefore) break;
            }
            ZSTD_freeDCtx(context);
            if (ZSTD_isError(status))
                return corruptError(std::string("zstd data is damaged: ") +
                                    ZSTD_getErrorName(status));
            return output.pos;
#else
            (void)in;
            (void)out;
            return unsupportedError("zstd-compressed clusters: this build has no zstd library");
#endif
        }
    }
    return unsupportedError("unknown compression");
}

}  // namespace prendle

#include "gzipencoder.h"

#include <libdeflate.h>

GzipEncoder::GzipEncoder() : compressor(libdeflate_alloc_compressor(1)) { }

GzipEncoder::~GzipEncoder()
{
    libdeflate_free_compressor(compressor);
}

QByteArray GzipEncoder::encode(const QByteArray &data)
{
    if (!compressor)
        return QByteArray();
    // Room for the worst case; only what is written is touched, and the
    // memory is kept for the next body.
    const size_t bound = libdeflate_gzip_compress_bound(compressor, size_t(data.size()));
    output.reserve(int(bound));
    output.resize(int(bound));
    const size_t written
        = libdeflate_gzip_compress(compressor, data.constData(), size_t(data.size()), output.data(), bound);
    if (written == 0)
        return QByteArray();
    output.resize(int(written));
    return output;
}

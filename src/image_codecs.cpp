#include "image_codecs.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include <jbig2.h>
#include <tiffio.h>

namespace vellix {
namespace {

using ByteVec = std::vector<std::uint8_t>;

std::uint64_t row_bytes(std::uint32_t width) { return (std::uint64_t{width} + 7) / 8; }

// ---------------------------------------------------------------------------------------
// CCITT fax through libtiff: the data becomes the single strip of a TIFF file in memory, read
// back through libtiff's client I/O.

void put16(ByteVec& out, std::uint16_t v) {
    out.push_back(static_cast<std::uint8_t>(v));
    out.push_back(static_cast<std::uint8_t>(v >> 8));
}
void put32(ByteVec& out, std::uint32_t v) {
    put16(out, static_cast<std::uint16_t>(v));
    put16(out, static_cast<std::uint16_t>(v >> 16));
}

// A little-endian TIFF with one IFD describing one strip: the fax data behind it.
ByteVec fax_tiff(std::span<const std::uint8_t> data, const FaxParams& p, std::uint32_t rows) {
    constexpr std::uint16_t kShort = 3, kLong = 4;
    struct Entry { std::uint16_t tag, type; std::uint32_t value; };
    const bool group4 = p.k < 0;
    // T4Options (TIFF 6.0, section 11): bit 0 two-dimensional coding, bit 2 fill bits before
    // each EOL, which is how TIFF says that lines are byte aligned.
    const std::uint32_t t4 = (p.k > 0 ? 1u : 0u) | (p.byte_align ? 4u : 0u);
    const std::vector<Entry> entries = {
        {256, kLong, p.columns},                 // ImageWidth
        {257, kLong, rows},                      // ImageLength
        {258, kShort, 1},                        // BitsPerSample
        {259, kShort, group4 ? 4u : 3u},         // Compression: CCITT T.6 or T.4
        {262, kShort, 0},                        // Photometric: WhiteIsZero
        {273, kLong, 0},                         // StripOffsets: patched below
        {277, kShort, 1},                        // SamplesPerPixel
        {278, kLong, rows},                      // RowsPerStrip
        {279, kLong, static_cast<std::uint32_t>(data.size())},  // StripByteCounts
        {group4 ? std::uint16_t{293} : std::uint16_t{292}, kLong, group4 ? 0u : t4},  // T6/T4Options
    };
    ByteVec out;
    out.reserve(8 + 2 + entries.size() * 12 + 4 + data.size());
    out.insert(out.end(), {'I', 'I', 42, 0});
    put32(out, 8);
    put16(out, static_cast<std::uint16_t>(entries.size()));
    const std::uint32_t data_at = static_cast<std::uint32_t>(8 + 2 + entries.size() * 12 + 4);
    for (const Entry& e : entries) {
        put16(out, e.tag);
        put16(out, e.type);
        put32(out, 1);
        const std::uint32_t v = e.tag == 273 ? data_at : e.value;
        if (e.type == kShort) {
            put16(out, static_cast<std::uint16_t>(v));
            put16(out, 0);
        } else {
            put32(out, v);
        }
    }
    put32(out, 0);  // no further IFD
    out.insert(out.end(), data.begin(), data.end());
    return out;
}

struct MemFile {
    const ByteVec* bytes;
    toff_t pos = 0;
};

tsize_t mem_read(thandle_t h, tdata_t buf, tsize_t size) {
    auto* f = static_cast<MemFile*>(h);
    const toff_t total = f->bytes->size();
    if (size <= 0 || f->pos >= total) return 0;
    const toff_t n = std::min<toff_t>(static_cast<toff_t>(size), total - f->pos);
    std::memcpy(buf, f->bytes->data() + f->pos, n);
    f->pos += n;
    return static_cast<tsize_t>(n);
}
tsize_t mem_write(thandle_t, tdata_t, tsize_t) { return 0; }
toff_t mem_seek(thandle_t h, toff_t off, int whence) {
    auto* f = static_cast<MemFile*>(h);
    toff_t base = 0;
    if (whence == SEEK_CUR) base = f->pos;
    if (whence == SEEK_END) base = f->bytes->size();
    f->pos = base + off;
    return f->pos;
}
int mem_close(thandle_t) { return 0; }
toff_t mem_size(thandle_t h) { return static_cast<MemFile*>(h)->bytes->size(); }
int mem_map(thandle_t, tdata_t*, toff_t*) { return 0; }
void mem_unmap(thandle_t, tdata_t, toff_t) {}
// Damaged data is reported through the return values; libtiff's messages would go to stderr.
int quiet(TIFF*, void*, const char*, const char*, va_list) { return 1; }

struct TiffCloser {
    TIFF* tif;
    ~TiffCloser() {
        if (tif) TIFFClose(tif);
    }
};
struct OptionsFree {
    TIFFOpenOptions* opts;
    ~OptionsFree() { TIFFOpenOptionsFree(opts); }
};

// ---------------------------------------------------------------------------------------
// JBIG2 through jbig2dec, with an allocator that keeps its memory within a bound.

// What the decoder may hold at once: the page, its regions and symbol dictionaries, a few
// times the image the dictionary describes, plus room for the dictionaries of a small page. A
// page information segment may claim a far larger page than the image; the decoder then fails
// instead of clearing gigabytes.
constexpr size_t kJbig2MemoryPerImageByte = 4;
constexpr size_t kJbig2BaseMemory = size_t{16} << 20;

struct BoundedAllocator {
    Jbig2Allocator base;  // first member: the library hands back a pointer to it
    size_t limit = 0;
    size_t used = 0;
};

// Each block carries its size in front, so that free and realloc can count it back.
constexpr size_t kHeader = alignof(std::max_align_t);

void* bounded_alloc(Jbig2Allocator* a, size_t size) {
    auto* self = reinterpret_cast<BoundedAllocator*>(a);
    if (size > self->limit - std::min(self->used, self->limit)) return nullptr;
    auto* block = static_cast<std::uint8_t*>(std::malloc(size + kHeader));
    if (!block) return nullptr;
    std::memcpy(block, &size, sizeof size);
    self->used += size;
    return block + kHeader;
}
void bounded_free(Jbig2Allocator* a, void* p) {
    if (!p) return;
    auto* self = reinterpret_cast<BoundedAllocator*>(a);
    auto* block = static_cast<std::uint8_t*>(p) - kHeader;
    size_t size = 0;
    std::memcpy(&size, block, sizeof size);
    self->used -= size;
    std::free(block);
}
void* bounded_realloc(Jbig2Allocator* a, void* p, size_t size) {
    if (!p) return bounded_alloc(a, size);
    auto* block = static_cast<std::uint8_t*>(p) - kHeader;
    size_t old = 0;
    std::memcpy(&old, block, sizeof old);
    void* fresh = bounded_alloc(a, size);
    if (!fresh) return nullptr;
    std::memcpy(fresh, p, std::min(old, size));
    bounded_free(a, p);
    return fresh;
}
void jbig2_quiet(void*, const char*, Jbig2Severity, uint32_t) {}

}  // namespace

std::optional<ByteVec> decode_ccitt(std::span<const std::uint8_t> data, const FaxParams& params,
                                    std::uint32_t rows) {
    if (params.columns == 0 || rows == 0 || data.empty() || data.size() > UINT32_MAX / 2) return std::nullopt;
    const std::uint64_t stride = row_bytes(params.columns);
    if (std::uint64_t{params.columns} * rows > kMaxBilevelPixels) return std::nullopt;
    const ByteVec file = fax_tiff(data, params, rows);
    MemFile mem{&file};
    TIFFOpenOptions* opts = TIFFOpenOptionsAlloc();
    if (!opts) return std::nullopt;
    OptionsFree free_opts{opts};
    TIFFOpenOptionsSetErrorHandlerExtR(opts, quiet, nullptr);
    TIFFOpenOptionsSetWarningHandlerExtR(opts, quiet, nullptr);
    TIFFOpenOptionsSetMaxSingleMemAlloc(opts, static_cast<tmsize_t>(stride * rows + (1 << 20)));
    TiffCloser tif{TIFFClientOpenExt("fax", "rm", &mem, mem_read, mem_write, mem_seek, mem_close,
                                     mem_size, mem_map, mem_unmap, opts)};
    if (!tif.tif) return std::nullopt;
    // The decoder keeps going past damaged lines where it can; a strip read that fails part
    // way has still written the rows before the damage.
    ByteVec out(stride * rows, 0);
    const tmsize_t got = TIFFReadEncodedStrip(tif.tif, 0, out.data(), static_cast<tmsize_t>(out.size()));
    if (got <= 0 && std::all_of(out.begin(), out.end(), [](std::uint8_t b) { return b == 0; })) return std::nullopt;
    // The codec writes 1 for black. PDF's default (BlackIs1 false) wants 0 for black.
    if (!params.black_is_1) {
        for (std::uint8_t& b : out) b = static_cast<std::uint8_t>(~b);
    }
    return out;
}

std::optional<ByteVec> decode_jbig2(std::span<const std::uint8_t> data, std::span<const std::uint8_t> globals,
                                    std::uint32_t width, std::uint32_t height) {
    if (width == 0 || height == 0 || data.empty()) return std::nullopt;
    if (std::uint64_t{width} * height > kMaxBilevelPixels) return std::nullopt;
    BoundedAllocator alloc{{bounded_alloc, bounded_free, bounded_realloc},
                           kJbig2BaseMemory + kJbig2MemoryPerImageByte * static_cast<size_t>(row_bytes(width) * height)};
    Jbig2GlobalCtx* global = nullptr;
    if (!globals.empty()) {
        Jbig2Ctx* g = jbig2_ctx_new(&alloc.base, JBIG2_OPTIONS_EMBEDDED, nullptr, jbig2_quiet, nullptr);
        if (g) {
            jbig2_data_in(g, globals.data(), globals.size());
            global = jbig2_make_global_ctx(g);
        }
    }
    Jbig2Ctx* ctx = jbig2_ctx_new(&alloc.base, JBIG2_OPTIONS_EMBEDDED, global, jbig2_quiet, nullptr);
    std::optional<ByteVec> out;
    if (ctx) {
        jbig2_data_in(ctx, data.data(), data.size());
        jbig2_complete_page(ctx);
        if (Jbig2Image* page = jbig2_page_out(ctx)) {
            // jbig2dec writes 1 for black; image samples want 0 for black.
            const std::uint64_t stride = row_bytes(width);
            ByteVec rows(stride * height, 0xFF);
            const std::uint32_t copy_rows = std::min(height, page->height);
            const size_t copy_bytes = static_cast<size_t>(std::min<std::uint64_t>(stride, page->stride));
            for (std::uint32_t y = 0; y < copy_rows; ++y) {
                const std::uint8_t* src = page->data + size_t{y} * page->stride;
                std::uint8_t* dst = rows.data() + y * stride;
                for (size_t i = 0; i < copy_bytes; ++i) dst[i] = static_cast<std::uint8_t>(~src[i]);
            }
            out = std::move(rows);
            jbig2_release_page(ctx, page);
        }
        jbig2_ctx_free(ctx);
    }
    if (global) jbig2_global_ctx_free(global);
    return out;
}

}  // namespace vellix

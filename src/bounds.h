// Every bound the core keeps on what a file can make it do: nesting, decoded sizes, work and
// output per page and per document, structure sizes, maps, fonts and images. Input is
// untrusted; each bound is far above what real files need and low enough that a hostile file
// ends in bounded time and memory. Each value says why it is what it is.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vellix {

// ---- Object syntax ----

// Arrays and dictionaries nested deeper than this fail instead of exhausting the stack.
inline constexpr unsigned kMaxObjectNesting = 256;

// ---- Decoded streams ----

// No single stream decodes to more than this; a decoder that reaches it stops there and
// returns what it has, cut at exactly this size (decompression bombs). Far above any real
// content stream, and low enough that a few pages decoded at once cannot exhaust memory.
inline constexpr size_t kMaxDecodedStreamSize = size_t{256} << 20;

// A Filter array naming more filters than this fails with "too many filters in stream": no
// writer chains that many, and each one may copy or expand the whole stream.
inline constexpr size_t kMaxFilterChain = 32;

// ---- Damaged files ----

// Object streams whose objects one scan indexes; a hostile file made of nothing but object
// streams must not make the scan decode without end.
inline constexpr size_t kMaxScanObjectStreams = 4096;

// The bytes that the object streams of one scan may decode to together (their number is
// bounded by kMaxScanObjectStreams).
inline constexpr size_t kMaxScanDecodedBytes = size_t{1} << 30;

// ---- Document structure ----

// Levels of /Type /Pages nodes below the root node of a page tree that page_refs follows;
// balanced trees of real files are a few levels deep.
inline constexpr unsigned kMaxPageTreeDepth = 256;

// References followed in a row before a value counts as missing: "1 0 R" naming "2 0 R" naming
// ... is legal but never deeper than a level or two in real files, and a loop must end.
inline constexpr unsigned kMaxReferenceChain = 32;

// Cross-reference sections followed through /Prev and /XRefStm. Real files with many
// incremental updates have tens of sections; the bound only stops hostile chains.
inline constexpr size_t kMaxXrefSections = 1024;

// ---- CMaps ----

// A CMap keeps at most this many mappings (bfchar codes, bfranges, array elements, CID
// ranges) and this many codespace ranges; later ones are ignored. The largest predefined CJK
// CMaps hold about 20000 ranges; the bound only stops a decompressed stream of hundreds of
// megabytes from turning into gigabytes of entries.
inline constexpr size_t kMaxCMapMappings = size_t{1} << 17;
inline constexpr size_t kMaxCodespaceRanges = 256;

// usecmap chains followed: predefined maps are one level deep, embedded ones rarely more.
inline constexpr unsigned kMaxUseCMapDepth = 4;

// ---- Fonts ----

// Font programs are read (for their encodings and cmaps only) up to this size; larger ones,
// far beyond any real font, are left unread.
inline constexpr size_t kMaxFontProgramBytes = size_t{64} << 20;

// ---- Content interpretation, per page ----

// Forms nest at most this deep below the page (depths 0, 1, 2 run a form's Do).
inline constexpr std::uint32_t kMaxFormDepth = 2;

// Work one page's interpretation may do, forms included: operators executed plus characters
// and image placements emitted, plus the cost of each form Do below. Far above any real page;
// a page that reaches it keeps what it produced so far, which is a prefix of what an
// unlimited run would give.
inline constexpr std::uint64_t kPageWorkBudget = 50'000'000;

// A form is read anew at every Do, so a Do of a form costs this much work up front, plus one
// unit for every byte of the form's content. Without this a form made of white space or of
// operands alone would be re-read without limit while costing nothing.
inline constexpr std::uint64_t kFormDoWork = 1000;

// Characters and image placements one page may produce, forms included: the memory bound
// (a CharInfo is 48 bytes, so about 400 MB), as the work budget is the time bound. Far above
// any real page; reaching it ends the interpretation like a spent work budget.
inline constexpr std::uint64_t kMaxPageOutput = std::uint64_t{1} << 23;

// Operand arrays nest at most this deep; a deeper array is skipped whole and gives no operand.
inline constexpr std::uint32_t kMaxOperandNesting = 64;

// Array elements the operands of one operator hold at most, nested elements included.
// Further elements are parsed (the array still ends where it should) but dropped, so a huge
// array costs memory in proportion to this bound, not to its length in the content.
inline constexpr std::size_t kMaxOperandElements = std::size_t{1} << 16;

// q saves at most this many graphics states. Further saves are only counted, and the matching
// Q leaves the state as it is, so "q q q ..." cannot fill memory.
inline constexpr std::size_t kMaxGraphicsStateDepth = 1 << 16;

// Distinct fonts one page's characters may name (CharInfo::font is 16 bits wide). A page's
// fonts come from its font tables, which hold far fewer; text in fonts beyond the bound is
// named after the first font of the page.
inline constexpr std::size_t kMaxPageFonts = 0xFFFF;

// ---- Inline images ----

// Entries an inline image dictionary may have before the parser gives up on it: the format
// defines eleven keys, and writers add a few private ones at most.
inline constexpr size_t kMaxInlineImageEntries = 64;

// ---- Pages and documents ----

// Bounds on the bytes one page gathers, so that a small file naming one highly compressed
// stream many times cannot expand into gigabytes. Raw and decoded bytes both count, since
// reading either takes time.
// The parts of a Contents array: a part that would take the sum past the bound, and every
// part after it, are left out (the content is cut there).
inline constexpr size_t kMaxPageContentBytes = size_t{512} << 20;

// The forms of a page's XObject table: a form past the bound is kept with no content.
inline constexpr size_t kMaxPageFormBytes = size_t{512} << 20;

// Bounds on the work of all pages of one extract_doc call together. The page bounds above keep
// one page finite, but a small file can list one page (or one content stream, or one form)
// a hundred thousand times. Work is counted in the content interpreter's units (an operator,
// a character, see kPageWorkBudget), and every byte a page gathers, decodes or copies
// (content, forms, images) counts one unit too; output counts characters and image
// placements, as kMaxPageOutput does. Both grow with the file: a base of a few pages' worth,
// plus so much per byte of the file. Real documents stay well below: each page needs content
// bytes of its own in the file, and content streams decode to a few times their stored size,
// so a book of ten thousand pages in a file of ten megabytes needs a fraction of the work it
// is allowed, and has fewer characters than its file has bytes. A small hostile file stops
// after a few seconds of work and some hundreds of megabytes of results. Once either bound is
// spent, the remaining pages come back empty, as failed pages do; the page that spends it
// keeps what it produced, a prefix of its text.
inline constexpr std::uint64_t kDocumentWorkBase = std::uint64_t{1} << 28;

inline constexpr std::uint64_t kDocumentWorkPerFileByte = 256;

inline constexpr std::uint64_t kDocumentOutputBase = kMaxPageOutput;

inline constexpr std::uint64_t kDocumentOutputPerFileByte = 8;

// ---- Links ----

// A document whose pages share one huge Annots array would otherwise make the walk cost pages
// times annotations: a file of a few megabytes could ask for billions of entries. Past this many
// annotation entries in one document the walk stops and returns the links found so far.
inline constexpr size_t kMaxAnnotationsPerDocument = size_t{1} << 20;

// ---- Images ----

// The data of one page's image records together holds at most this many bytes: a record that
// would pass it keeps its other fields and gets empty data. Without a bound, a small file that
// draws one highly compressed image many times would expand into gigabytes of copies.
inline constexpr size_t kMaxPageImageBytes = size_t{256} << 20;

// An image whose samples (width x height x components x bits per component), or whose pixels
// converted to gray or RGB, take more bytes than this is not decoded: its record gets empty
// data. A 600 dpi colour scan of a whole A3 page takes 210 MB; page images of real files stay
// far below. Checked before any allocation, and bounded so, a page decoding a few images at
// once cannot exhaust memory.
inline constexpr std::uint64_t kMaxImageSampleBytes = std::uint64_t{256} << 20;

// Colour spaces nest (an Indexed base, a Separation alternate, a named resource) at most this
// deep; deeper ones are unknown. The format nests two levels at most.
inline constexpr unsigned kMaxColorSpaceDepth = 8;

// ---- Image codecs ----

// Pixels one bilevel image may hold (the caller bounds width x height by this before calling):
// a 600 dpi scan of a 1 m x 1.5 m poster, far above any page, and 128 MiB as packed rows.
inline constexpr std::uint64_t kMaxBilevelPixels = std::uint64_t{1} << 30;

}  // namespace vellix

#include "engine/codec/inflate.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

namespace cindral::codec {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes ZlibDeflate(const Bytes& input, int level, int strategy) {
  z_stream stream{};
  if (deflateInit2(&stream, level, Z_DEFLATED, -15, 8, strategy) != Z_OK)
    throw std::runtime_error("deflateInit2");
  Bytes output(deflateBound(&stream, input.size()) + 16);
  stream.next_in = const_cast<Bytef*>(input.data());
  stream.avail_in = static_cast<uInt>(input.size());
  stream.next_out = output.data();
  stream.avail_out = static_cast<uInt>(output.size());
  const int status = deflate(&stream, Z_FINISH);
  deflateEnd(&stream);
  if (status != Z_STREAM_END) throw std::runtime_error("deflate");
  output.resize(stream.total_out);
  return output;
}

// zlib's verdict on a raw stream: Z_STREAM_END, Z_DATA_ERROR or Z_BUF_ERROR
// (input ended first).
int ZlibInflateStatus(const Bytes& stream_bytes, Bytes* output = nullptr) {
  z_stream stream{};
  inflateInit2(&stream, -15);
  Bytes buffer(1 << 16);
  stream.next_in = const_cast<Bytef*>(stream_bytes.data());
  stream.avail_in = static_cast<uInt>(stream_bytes.size());
  int status;
  do {
    stream.next_out = buffer.data();
    stream.avail_out = static_cast<uInt>(buffer.size());
    status = inflate(&stream, Z_NO_FLUSH);
    if (output) output->insert(output->end(), buffer.data(), stream.next_out);
  } while (status == Z_OK);
  inflateEnd(&stream);
  return status;
}

struct Decoded {
  Bytes data;
  uint64_t consumed;
};

Decoded Inflate(const Bytes& stream_bytes, DeflateVariant variant = DeflateVariant::kDeflate,
                size_t read_size = 1 << 20) {
  MemoryInStream source(stream_bytes);
  InflateDecoder decoder(source, variant);
  Decoded result;
  Bytes buffer(read_size);
  for (;;) {
    const size_t got = decoder.Read(buffer.data(), buffer.size());
    result.data.insert(result.data.end(), buffer.begin(), buffer.begin() + got);
    if (got < buffer.size()) break;
  }
  EXPECT_EQ(decoder.Read(buffer.data(), buffer.size()), 0u);
  result.consumed = decoder.InputConsumed();
  return result;
}

Bytes RandomBytes(std::mt19937& rng, size_t size) {
  Bytes out(size);
  for (auto& byte : out) byte = static_cast<uint8_t>(rng());
  return out;
}

Bytes TextLike(std::mt19937& rng, size_t size) {
  static const char* const kWords[] = {"the ",    "archive ", "of ",      "stream ",
                                       "window ", "and ",     "deflate ", "block ",
                                       "\n",      "match ",   "literal ", "0123 "};
  Bytes out;
  while (out.size() < size) {
    const char* word = kWords[rng() % std::size(kWords)];
    out.insert(out.end(), word, word + std::char_traits<char>::length(word));
    if (rng() % 13 == 0) out.push_back(static_cast<uint8_t>('A' + rng() % 26));
  }
  out.resize(size);
  return out;
}

Bytes LongRuns(std::mt19937& rng, size_t size) {
  Bytes out;
  while (out.size() < size)
    out.insert(out.end(), 1 + rng() % 2000, static_cast<uint8_t>(rng() % 4));
  out.resize(size);
  return out;
}

// Short periods (distances 1-7 overlap their own output) and long repeats.
Bytes LongMatches(std::mt19937& rng, size_t size) {
  Bytes out = RandomBytes(rng, std::min<size_t>(size, 1000));
  while (out.size() < size) {
    const size_t distance = 1 + rng() % std::min<size_t>(out.size(), rng() % 2 ? 9 : 5000);
    const size_t length = 3 + rng() % 600;
    for (size_t i = 0; i < length; ++i) out.push_back(out[out.size() - distance]);
  }
  out.resize(size);
  return out;
}

// Random chunks recurring just under 32 KiB later: the longest Deflate
// distances.
Bytes FarMatches(std::mt19937& rng, size_t size) {
  Bytes out = RandomBytes(rng, std::min<size_t>(size, 32768));
  while (out.size() < size) {
    const size_t distance = 32000 + rng() % 769;
    const size_t length = 3 + rng() % 300;
    for (size_t i = 0; i < length; ++i) out.push_back(out[out.size() - distance]);
    const Bytes noise = RandomBytes(rng, rng() % 40);
    out.insert(out.end(), noise.begin(), noise.end());
  }
  out.resize(size);
  return out;
}

using Generator = Bytes (*)(std::mt19937&, size_t);

TEST(InflateDecoder, MatchesZlibAcrossLevelsStrategiesAndInputs) {
  const std::pair<const char*, Generator> generators[] = {{"random", RandomBytes},
                                                          {"text", TextLike},
                                                          {"runs", LongRuns},
                                                          {"matches", LongMatches},
                                                          {"far", FarMatches}};
  const size_t sizes[] = {0, 1, 300, 40000, 400000};
  std::mt19937 rng(1951);
  for (const auto& [name, generate] : generators) {
    for (const size_t size : sizes) {
      const Bytes input = generate(rng, size);
      for (int level = 0; level <= 9; ++level) {
        const Bytes stream = ZlibDeflate(input, level, Z_DEFAULT_STRATEGY);
        const Decoded decoded = Inflate(stream);
        ASSERT_EQ(decoded.data, input) << name << " size " << size << " level " << level;
        ASSERT_EQ(decoded.consumed, stream.size());
      }
      for (const int strategy : {Z_FILTERED, Z_HUFFMAN_ONLY, Z_RLE, Z_FIXED}) {
        const Bytes stream = ZlibDeflate(input, 6, strategy);
        ASSERT_EQ(Inflate(stream).data, input)
            << name << " size " << size << " strategy " << strategy;
      }
    }
  }
}

TEST(InflateDecoder, HandsOutTheSameBytesForAnyReadSize) {
  std::mt19937 rng(7);
  Bytes input = TextLike(rng, 3'000'000);
  const Bytes matches = LongMatches(rng, 1'500'000);
  input.insert(input.end(), matches.begin(), matches.end());
  const Bytes stream = ZlibDeflate(input, 6, Z_DEFAULT_STRATEGY);
  for (const size_t read_size : {size_t{1}, size_t{7}, size_t{4096}, size_t{64} << 20}) {
    const Decoded decoded = Inflate(stream, DeflateVariant::kDeflate, read_size);
    ASSERT_EQ(decoded.data.size(), input.size()) << "read size " << read_size;
    EXPECT_TRUE(decoded.data == input) << "read size " << read_size;
    EXPECT_EQ(decoded.consumed, stream.size());
  }
}

// A first read is decoded straight into the caller's buffer, which allows no
// byte past its end: buffers that end exactly at, just before or just after
// the data, or a match's length before it, must give the same bytes as zlib,
// and the stream must go on from the right window afterwards.
TEST(InflateDecoder, FirstReadsEndingAnywhereNearTheDataGiveTheSameBytes) {
  std::mt19937 rng(12);
  const std::pair<const char*, Generator> generators[] = {
      {"text", TextLike}, {"matches", LongMatches}, {"far", FarMatches}, {"runs", LongRuns}};
  for (const auto& [name, generate] : generators) {
    for (const size_t size : {size_t{5000}, size_t{70000}, size_t{300000}}) {
      const Bytes input = generate(rng, size);
      // Huffman-only streams are all literals, many of them decoded in pairs.
      for (const auto& [level, strategy] :
           {std::pair{1, Z_FIXED}, std::pair{6, Z_DEFAULT_STRATEGY},
            std::pair{9, Z_DEFAULT_STRATEGY}, std::pair{6, Z_HUFFMAN_ONLY}}) {
        const Bytes stream = ZlibDeflate(input, level, strategy);
        for (const size_t first : {size, size - 1, size + 1, size - 3, size - 258, size - 300,
                                   size_t{4096}, size_t{4095}, size / 2 + 1}) {
          MemoryInStream source(stream);
          InflateDecoder decoder(source, DeflateVariant::kDeflate);
          Bytes output(first);
          output.resize(decoder.Read(output.data(), first));
          Bytes rest(7000);
          for (size_t got; (got = decoder.Read(rest.data(), rest.size())) != 0;)
            output.insert(output.end(), rest.begin(), rest.begin() + got);
          ASSERT_TRUE(output == input) << name << " size " << size << " level " << level
                                       << " strategy " << strategy << " first read " << first;
          ASSERT_EQ(decoder.InputConsumed(), stream.size());
        }
      }
    }
  }
}

TEST(InflateDecoder, InputConsumedIsExactBeforeTrailingData) {
  std::mt19937 rng(99);
  for (int round = 0; round < 40; ++round) {
    const Bytes input = round % 2 ? TextLike(rng, rng() % 100000) : RandomBytes(rng, rng() % 3000);
    const Bytes stream =
        ZlibDeflate(input, static_cast<int>(rng() % 10), round % 3 ? Z_DEFAULT_STRATEGY : Z_FIXED);
    Bytes with_trailer = stream;
    const Bytes trailer = RandomBytes(rng, 1 + rng() % 70000);
    with_trailer.insert(with_trailer.end(), trailer.begin(), trailer.end());

    MemoryInStream source(with_trailer);
    InflateDecoder decoder(source, DeflateVariant::kDeflate);
    Bytes output(input.size() + 10);
    ASSERT_EQ(decoder.Read(output.data(), output.size()), input.size());
    EXPECT_EQ(decoder.InputConsumed(), stream.size()) << "round " << round;
  }
}

TEST(InflateDecoder, TruncationAtEveryByteIsUnexpectedEnd) {
  std::mt19937 rng(3);
  Bytes input = TextLike(rng, 3000);
  const Bytes noise = RandomBytes(rng, 500);
  input.insert(input.end(), noise.begin(), noise.end());
  const Bytes stored =
      ZlibDeflate(Bytes(input.begin(), input.begin() + 200), 0, Z_DEFAULT_STRATEGY);
  for (size_t cut = 0; cut < stored.size(); ++cut) {
    const Bytes prefix(stored.begin(), stored.begin() + cut);
    EXPECT_THROW(Inflate(prefix), UnexpectedEnd) << "stored cut " << cut;
  }
  for (const int strategy : {Z_DEFAULT_STRATEGY, Z_FIXED}) {
    const Bytes stream = ZlibDeflate(input, 9, strategy);
    for (size_t cut = 0; cut < stream.size(); ++cut) {
      const Bytes prefix(stream.begin(), stream.begin() + cut);
      EXPECT_THROW(Inflate(prefix), UnexpectedEnd) << "cut " << cut;
    }
  }
}

TEST(InflateDecoder, FailsAgainOnceFailed) {
  const Bytes stream = {0x07};  // final block of the reserved type
  MemoryInStream source(stream);
  InflateDecoder decoder(source, DeflateVariant::kDeflate);
  uint8_t byte;
  EXPECT_THROW(decoder.Read(&byte, 1), DataError);
  EXPECT_THROW(decoder.Read(&byte, 1), DataError);
}

// Builds hand-made streams, bits first-lowest, Huffman codes first-bit-first.
class BitWriter {
 public:
  void Bits(uint32_t value, unsigned count) {
    for (unsigned i = 0; i < count; ++i) Bit((value >> i) & 1);
  }
  void Code(uint32_t code, unsigned length) {
    for (unsigned i = length; i-- > 0;) Bit((code >> i) & 1);
  }
  void AlignedBytes(const Bytes& bytes) {
    count_ = 0;
    bytes_.insert(bytes_.end(), bytes.begin(), bytes.end());
  }
  const Bytes& bytes() const { return bytes_; }

 private:
  void Bit(uint32_t bit) {
    if (count_ == 0) bytes_.push_back(0);
    bytes_.back() |= static_cast<uint8_t>(bit << count_);
    count_ = (count_ + 1) & 7;
  }
  Bytes bytes_;
  unsigned count_ = 0;
};

// Canonical codes for a set of lengths, as the format assigns them.
std::vector<uint32_t> CanonicalCodes(const std::vector<uint8_t>& lengths) {
  std::vector<uint32_t> codes(lengths.size());
  uint32_t code = 0;
  for (unsigned length = 1; length <= 15; ++length) {
    for (size_t symbol = 0; symbol < lengths.size(); ++symbol)
      if (lengths[symbol] == length) codes[symbol] = code++;
    code <<= 1;
  }
  return codes;
}

void FixedLiteralLength(BitWriter& w, unsigned symbol) {
  if (symbol < 144) return w.Code(0x30 + symbol, 8);
  if (symbol < 256) return w.Code(0x190 + symbol - 144, 9);
  if (symbol < 280) return w.Code(symbol - 256, 7);
  w.Code(0xc0 + symbol - 280, 8);
}

// A dynamic block header whose code length code gives 4 bits to symbols 0-12
// and 5 bits to 13-18; cl_symbols are (symbol, extra value) pairs.
struct DynamicHeader {
  unsigned litlen_count = 257;
  unsigned distance_count = 1;
  std::vector<uint8_t> code_length_lengths = {4, 4, 4, 4, 4, 4, 4, 4, 4, 4,
                                              4, 4, 4, 5, 5, 5, 5, 5, 5};
  std::vector<std::pair<unsigned, unsigned>> cl_symbols;

  // Spells out lengths with plain code length symbols.
  void SetLengths(const std::vector<uint8_t>& litlen, const std::vector<uint8_t>& distance) {
    litlen_count = static_cast<unsigned>(litlen.size());
    distance_count = static_cast<unsigned>(distance.size());
    cl_symbols.clear();
    for (const uint8_t length : litlen) cl_symbols.push_back({length, 0});
    for (const uint8_t length : distance) cl_symbols.push_back({length, 0});
  }

  void Write(BitWriter& w, bool final_block = true) const {
    static const unsigned kOrder[19] = {16, 17, 18, 0, 8,  7, 9,  6, 10, 5,
                                        11, 4,  12, 3, 13, 2, 14, 1, 15};
    w.Bits(final_block, 1);
    w.Bits(2, 2);
    w.Bits(litlen_count - 257, 5);
    w.Bits(distance_count - 1, 5);
    w.Bits(19 - 4, 4);
    for (const unsigned symbol : kOrder) w.Bits(code_length_lengths[symbol], 3);
    const std::vector<uint32_t> codes = CanonicalCodes(code_length_lengths);
    static const unsigned kExtraBits[19] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
                                            0, 0, 0, 0, 0, 0, 2, 3, 7};
    for (const auto& [symbol, extra] : cl_symbols) {
      w.Code(codes[symbol], code_length_lengths[symbol]);
      w.Bits(extra, kExtraBits[symbol]);
    }
  }
};

std::vector<uint8_t> Lengths(size_t count,
                             std::initializer_list<std::pair<unsigned, uint8_t>> set) {
  std::vector<uint8_t> lengths(count, 0);
  for (const auto& [symbol, length] : set) lengths[symbol] = length;
  return lengths;
}

// Every hand-built stream is first checked with zlib, so each case tests the
// flaw it names rather than a mistake in building it.
void ExpectRejectedLikeZlib(const Bytes& stream, const char* what) {
  EXPECT_EQ(ZlibInflateStatus(stream), Z_DATA_ERROR) << what;
  try {
    Inflate(stream);
    ADD_FAILURE() << what << ": accepted";
  } catch (const UnexpectedEnd&) {
    ADD_FAILURE() << what << ": reported as truncated";
  } catch (const DataError&) {
  }
}

void ExpectAcceptedLikeZlib(const Bytes& stream, const Bytes& expected, const char* what) {
  Bytes zlib_output;
  EXPECT_EQ(ZlibInflateStatus(stream, &zlib_output), Z_STREAM_END) << what;
  EXPECT_EQ(zlib_output, expected) << what;
  EXPECT_EQ(Inflate(stream).data, expected) << what;
}

TEST(InflateDecoder, RejectsBrokenBlockHeadersAndStoredBlocks) {
  ExpectRejectedLikeZlib({0x07, 0, 0, 0, 0}, "block type 3");
  ExpectRejectedLikeZlib({0x01, 0x05, 0x00, 0x00, 0x00, 'a', 'b', 'c', 'd', 'e'},
                         "stored length mismatch");
  ExpectAcceptedLikeZlib({0x01, 0x03, 0x00, 0xfc, 0xff, 'a', 'b', 'c'}, {'a', 'b', 'c'},
                         "stored block");
}

// One fixed block: the literal 'x', then a match of 3 at distance 2, one
// byte before the stream's start.
Bytes MatchBeforeTheStart() {
  BitWriter w;
  w.Bits(1, 1);
  w.Bits(1, 2);
  FixedLiteralLength(w, 'x');
  FixedLiteralLength(w, 257);
  w.Code(1, 5);
  FixedLiteralLength(w, 256);
  return w.bytes();
}

TEST(InflateDecoder, RejectsBrokenFixedBlockSymbols) {
  ExpectRejectedLikeZlib(MatchBeforeTheStart(), "distance beyond the data");
  for (const unsigned symbol : {286u, 287u}) {
    BitWriter w;
    w.Bits(1, 1);
    w.Bits(1, 2);
    FixedLiteralLength(w, symbol);
    ExpectRejectedLikeZlib(w.bytes(), "literal/length code 286/287");
  }
}

// Decoders hand their buffers on to the next; a match reaching before its
// own stream's first byte must still fail rather than copy the bytes an
// earlier stream left there.
TEST(InflateDecoder, ADecoderSeesNothingOfTheStreamBeforeIt) {
  const Bytes earlier(300000, 'E');
  ASSERT_EQ(Inflate(ZlibDeflate(earlier, 6, Z_DEFAULT_STRATEGY), DeflateVariant::kDeflate, 7).data,
            earlier);
  for (const size_t read_size : {size_t{1}, size_t{1} << 20}) {
    EXPECT_THROW(Inflate(MatchBeforeTheStart(), DeflateVariant::kDeflate, read_size), DataError)
        << "read size " << read_size;
  }
}

TEST(InflateDecoder, ChecksDynamicCodeSets) {
  const auto build = [](const DynamicHeader& header,
                        const std::vector<std::pair<uint32_t, unsigned>>& data) {
    BitWriter w;
    header.Write(w);
    for (const auto& [code, length] : data) w.Code(code, length);
    return w.bytes();
  };
  DynamicHeader header;
  // 'a' = 0, end of block = 10, length 3 = 11; one distance code of one bit.
  header.SetLengths(Lengths(258, {{'a', 1}, {256, 2}, {257, 2}}), Lengths(1, {{0, 1}}));
  ExpectAcceptedLikeZlib(build(header, {{0, 1}, {3, 2}, {0, 1}, {2, 2}}), {'a', 'a', 'a', 'a'},
                         "complete litlen, single distance code");
  ExpectRejectedLikeZlib(build(header, {{0, 1}, {3, 2}, {1, 1}}),
                         "unused half of a single distance code");

  header.SetLengths(Lengths(258, {{'a', 1}, {256, 1}, {257, 1}}), Lengths(1, {{0, 1}}));
  ExpectRejectedLikeZlib(build(header, {{0, 1}}), "over-subscribed litlen");
  header.SetLengths(Lengths(257, {{'a', 2}, {256, 2}}), Lengths(1, {{0, 1}}));
  ExpectRejectedLikeZlib(build(header, {{0, 2}, {1, 2}}), "incomplete litlen");
  header.SetLengths(Lengths(257, {{256, 1}}), Lengths(1, {}));
  ExpectAcceptedLikeZlib(build(header, {{0, 1}}), {}, "single end-of-block code, no distances");
  header.SetLengths(Lengths(257, {{'a', 1}, {'b', 1}}), Lengths(1, {{0, 1}}));
  ExpectRejectedLikeZlib(build(header, {{0, 1}}), "no end-of-block code");
  header.SetLengths(Lengths(257, {{'a', 1}, {256, 1}}), Lengths(2, {{0, 2}, {1, 2}}));
  ExpectRejectedLikeZlib(build(header, {{0, 1}}), "incomplete distance code");
  header.SetLengths(Lengths(257, {{'a', 1}, {256, 1}}), Lengths(2, {{0, 1}, {1, 1}}));
  header.litlen_count = 287;
  header.cl_symbols.insert(header.cl_symbols.begin() + 257, 30, {0, 0});
  ExpectRejectedLikeZlib(build(header, {{0, 1}}), "287 literal/length codes");
  header.SetLengths(Lengths(257, {{'a', 1}, {256, 1}}), Lengths(31, {{0, 1}, {1, 1}}));
  ExpectRejectedLikeZlib(build(header, {{0, 1}}), "31 distance codes");

  header.SetLengths(Lengths(257, {{'a', 1}, {256, 1}}), Lengths(1, {{0, 1}}));
  DynamicHeader broken = header;
  broken.code_length_lengths[18] = 4;
  ExpectRejectedLikeZlib(build(broken, {{0, 1}}), "over-subscribed code length code");
  broken.code_length_lengths[18] = 6;
  ExpectRejectedLikeZlib(build(broken, {{0, 1}}), "incomplete code length code");

  broken = header;
  broken.cl_symbols.insert(broken.cl_symbols.begin(), {16, 0});
  ExpectRejectedLikeZlib(build(broken, {{0, 1}}), "repeat without a previous length");
  broken = header;
  broken.cl_symbols.pop_back();
  broken.cl_symbols.push_back({17, 1});  // 4 zeros where 1 length is left
  ExpectRejectedLikeZlib(build(broken, {{0, 1}}), "zero repeat beyond the count");
  broken = header;
  broken.cl_symbols.pop_back();
  broken.cl_symbols.pop_back();
  broken.cl_symbols.push_back({16, 0});  // 3 copies where 2 lengths are left
  ExpectRejectedLikeZlib(build(broken, {{0, 1}}), "length repeat beyond the count");

  // A run of zeros from the literal/length lengths into the distance lengths.
  header.SetLengths(Lengths(260, {{'a', 1}, {256, 2}, {257, 2}}), Lengths(3, {{1, 1}, {2, 1}}));
  header.cl_symbols.erase(header.cl_symbols.begin() + 258, header.cl_symbols.begin() + 261);
  header.cl_symbols.insert(header.cl_symbols.begin() + 258, {17, 0});
  ExpectAcceptedLikeZlib(build(header, {{0, 1}, {0, 1}, {3, 2}, {0, 1}, {2, 2}}), Bytes(5, 'a'),
                         "repeat across the two code sets");
}

// A stored block of 40000 bytes, then a fixed block with length 3 at distance
// code 30 (32769), which only Deflate64 has.
Bytes FarDistanceStream(Bytes* expected) {
  std::mt19937 rng(30);
  const Bytes data = RandomBytes(rng, 40000);
  BitWriter w;
  w.Bits(0, 1);
  w.Bits(0, 2);
  const uint16_t size = static_cast<uint16_t>(data.size());
  w.AlignedBytes({static_cast<uint8_t>(size), static_cast<uint8_t>(size >> 8),
                  static_cast<uint8_t>(~size), static_cast<uint8_t>(~size >> 8)});
  w.AlignedBytes(data);
  w.Bits(1, 1);
  w.Bits(1, 2);
  FixedLiteralLength(w, 257);
  w.Code(30, 5);
  w.Bits(5, 14);
  FixedLiteralLength(w, 256);
  *expected = data;
  const size_t from = data.size() - 32769 - 5;
  expected->insert(expected->end(), data.begin() + from, data.begin() + from + 3);
  return w.bytes();
}

TEST(InflateDecoder, DistanceCode30IsDeflate64Only) {
  Bytes expected;
  const Bytes stream = FarDistanceStream(&expected);
  EXPECT_EQ(Inflate(stream, DeflateVariant::kDeflate64).data, expected);
  ExpectRejectedLikeZlib(stream, "distance code 30 in Deflate");
}

TEST(InflateDecoder, Deflate64LengthCode285HasSixteenExtraBits) {
  BitWriter w;
  w.Bits(1, 1);
  w.Bits(1, 2);
  FixedLiteralLength(w, 'z');
  // Eight matches of 65538 bytes: some cross the decoder's output chunks.
  for (int i = 0; i < 8; ++i) {
    FixedLiteralLength(w, 285);
    w.Bits(65535, 16);
    w.Code(0, 5);  // distance 1
  }
  FixedLiteralLength(w, 256);
  const Bytes expected(1 + 8 * 65538, 'z');
  // Read in small pieces, in place in one large buffer, and in place in a
  // buffer that ends exactly with the data.
  for (const size_t read_size : {size_t{1000}, size_t{1} << 20, expected.size()}) {
    const Decoded decoded = Inflate(w.bytes(), DeflateVariant::kDeflate64, read_size);
    EXPECT_EQ(decoded.data, expected) << "read size " << read_size;
    EXPECT_EQ(decoded.consumed, w.bytes().size());
  }
}

struct ZipEntry {
  uint16_t method;
  Bytes stream;
};

// The first entry of a ZIP written by 7zz to a file: sizes are in the local
// header.
ZipEntry FirstZipEntry(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  const Bytes zip((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  const auto u16 = [&](size_t at) {
    return static_cast<uint16_t>(zip.at(at) | zip.at(at + 1) << 8);
  };
  const auto u32 = [&](size_t at) { return u16(at) | static_cast<uint32_t>(u16(at + 2)) << 16; };
  EXPECT_EQ(u32(0), 0x04034b50u) << path;
  const size_t start = 30 + u16(26) + u16(28);
  const uint32_t size = u32(18);
  return {u16(8), Bytes(zip.begin() + start, zip.begin() + start + size)};
}

Bytes ReadFile(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  return Bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
}

TEST(InflateDecoder, DecodesDeflate64From7zz) {
  for (const char* name : {"d64_text", "d64_far", "d64_runs"}) {
    const std::string base = std::string(CINDRAL_FIXTURE_DIR) + "/" + name;
    const Bytes content = ReadFile(base + ".bin");
    const ZipEntry entry = FirstZipEntry(base + ".zip");
    ASSERT_EQ(entry.method, 9) << name;
    for (const size_t read_size : {size_t{4093}, content.size()}) {
      const Decoded decoded = Inflate(entry.stream, DeflateVariant::kDeflate64, read_size);
      EXPECT_TRUE(decoded.data == content) << name << " read size " << read_size;
      EXPECT_EQ(decoded.consumed, entry.stream.size()) << name;
    }
  }
  // Distance codes 30 and 31 tell the variants apart, so a plain Deflate
  // decoder must not produce these contents. (7zz ends Deflate64 matches at
  // 257 bytes, so length code 285 is covered by a hand-built stream instead.)
  for (const char* name : {"d64_text", "d64_far"}) {
    const std::string base = std::string(CINDRAL_FIXTURE_DIR) + "/" + name;
    const ZipEntry entry = FirstZipEntry(base + ".zip");
    Bytes plain;
    try {
      plain = Inflate(entry.stream, DeflateVariant::kDeflate).data;
    } catch (const DataError&) {
    }
    EXPECT_FALSE(plain == ReadFile(base + ".bin")) << name;
  }
}

}  // namespace
}  // namespace cindral::codec

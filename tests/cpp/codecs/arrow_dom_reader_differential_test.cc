// The Arrow codec's compiled readers against the cell-by-cell reader they replaced
// (arrow_dom_reference.h): random struct columns of every type the codec reads or refuses,
// nulls at every level, offsets at every level, and every real document converted to Arrow,
// must give the same document or the same failure text for every row.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <ostream>
#include <fstream>
#include <iterator>
#include <memory>
#include <random>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include <arrow/api.h>
#include <arrow/util/bit_util.h>

#include "arrow_support.h"
#include "codecs/arrow_dom_reference.h"
#include "shredder/arrow_dom_codec.h"
#include "shredder/serialization.h"
#include "test_support.h"

namespace shredder {
namespace {

using testing::BatchOf;
using testing::FromJson;

void Check(const arrow::Status& status) {
  if (!status.ok()) throw std::runtime_error(status.ToString());
}

// What reading one row gave: a document, or the text of the failure.
struct RowOutcome {
  bool failed = false;
  Object document;
  std::string error;

  bool operator==(const RowOutcome&) const = default;
};

RowOutcome ReadRow(const std::function<Object()>& read) {
  RowOutcome outcome;
  try {
    outcome.document = read();
  } catch (const std::exception& error) {
    outcome.failed = true;
    outcome.error = error.what();
  }
  return outcome;
}

std::ostream& operator<<(std::ostream& out, const RowOutcome& outcome) {
  if (outcome.failed) return out << "failure " << outcome.error;
  return out << "document " << MakeSerialization(SerializationFormat::Json)->FromDom(outcome.document);
}

// Compares every row of `batch` read by `codec` with the reference; returns the rows that
// agree before the first that does not.
std::int64_t ExpectSameRows(const ArrowDomCodec& codec,
                            const std::shared_ptr<arrow::RecordBatch>& batch,
                            const std::string& where, std::int64_t* documents = nullptr) {
  for (std::int64_t row = 0; row < batch->num_rows(); ++row) {
    const RowOutcome want = ReadRow([&] { return reference_arrow::ToDom(*batch, row); });
    const RowOutcome got = ReadRow([&] { return codec.ToDom(batch, row); });
    EXPECT_EQ(got, want) << where << ", row " << row << ", type "
                         << batch->column(0)->type()->ToString();
    if (!(got == want)) return row;
    if (documents != nullptr && !got.failed) ++*documents;
  }
  return batch->num_rows();
}

// ----------------------------------------------------------------------------------------
// Random columns

class RandomColumns {
 public:
  explicit RandomColumns(std::uint32_t seed) : random_(seed) {}

  // A struct type of up to `depth` levels.
  std::shared_ptr<arrow::DataType> RootType(int depth) { return StructType(depth); }

  // An array of `type` with `length` cells; its cells sit `Pad` cells into its buffers, and
  // so do those of every array under it.
  std::shared_ptr<arrow::Array> Make(const std::shared_ptr<arrow::DataType>& type,
                                     std::int64_t length) {
    const std::int64_t pad = Uniform(0, 3);
    const std::int64_t full = length + pad;
    std::shared_ptr<arrow::Array> array;
    switch (type->id()) {
      case arrow::Type::LIST:
        array = MakeList<arrow::ListType, std::int32_t>(type, full);
        break;
      case arrow::Type::LARGE_LIST:
        array = MakeList<arrow::LargeListType, std::int64_t>(type, full);
        break;
      case arrow::Type::STRUCT:
        array = MakeStruct(type, full);
        break;
      case arrow::Type::DICTIONARY:
        array = MakeDictionary(type, full);
        break;
      case arrow::Type::SPARSE_UNION:
        array = MakeUnion(type, full);
        break;
      case arrow::Type::RUN_END_ENCODED:
        array = MakeRunEnds(type, full);
        break;
      default:
        array = MakeScalars(type, full);
    }
    return array->Slice(pad, length);
  }

 private:
  std::int64_t Uniform(std::int64_t low, std::int64_t high) {
    return std::uniform_int_distribution<std::int64_t>(low, high)(random_);
  }
  bool Chance(double p) { return std::uniform_real_distribution<double>(0, 1)(random_) < p; }

  // How often cells are null: never, sometimes, mostly or always. Types the codec refuses
  // are mostly null, so that most rows still read.
  double NullShare(const arrow::DataType& type) {
    if (Refused(type)) return Chance(0.5) ? 1.0 : 0.93;
    static constexpr double kShares[] = {0.0, 0.0, 0.25, 0.6, 1.0};
    return kShares[Uniform(0, 4)];
  }

  static bool Refused(const arrow::DataType& type) {
    switch (type.id()) {
      case arrow::Type::BINARY:
      case arrow::Type::TIMESTAMP:
      case arrow::Type::DATE32:
      case arrow::Type::HALF_FLOAT:
      case arrow::Type::DICTIONARY:
      case arrow::Type::SPARSE_UNION:
      case arrow::Type::RUN_END_ENCODED:
        return true;
      default:
        return false;
    }
  }

  std::string FieldName() {
    // Few names, so that fields repeat a name and come out of order; "_", "" and non-ASCII
    // among them.
    static const char* const kNames[] = {"a", "b", "c", "a_b", "_", "", "z\xc3\xa9", "id"};
    return kNames[Uniform(0, 7)];
  }

  std::shared_ptr<arrow::DataType> StructType(int depth) {
    arrow::FieldVector fields;
    const std::int64_t count = Uniform(0, 5);
    for (std::int64_t k = 0; k < count; ++k) {
      fields.push_back(arrow::field(FieldName(), AnyType(depth - 1)));
    }
    if (Chance(0.3)) {
      std::sort(fields.begin(), fields.end(),
                [](const auto& x, const auto& y) { return x->name() < y->name(); });
    }
    return arrow::struct_(fields);
  }

  std::shared_ptr<arrow::DataType> AnyType(int depth) {
    const std::int64_t pick = Uniform(0, depth > 0 ? 27 : 20);
    switch (pick) {
      case 0: return arrow::boolean();
      case 1: return arrow::int8();
      case 2: return arrow::int16();
      case 3: return arrow::int32();
      case 4: return arrow::int64();
      case 5: return arrow::uint8();
      case 6: return arrow::uint16();
      case 7: return arrow::uint32();
      case 8: return arrow::uint64();
      case 9: return arrow::float32();
      case 10: return arrow::float64();
      case 11: return arrow::utf8();
      case 12: return arrow::large_utf8();
      case 13: return arrow::null();
      case 14: return arrow::binary();
      case 15: return arrow::timestamp(arrow::TimeUnit::MILLI);
      case 16: return arrow::date32();
      case 17: return arrow::float16();
      case 18: return arrow::dictionary(arrow::int32(), arrow::utf8());
      case 19:
        return arrow::sparse_union({arrow::field("i", arrow::int64()),
                                    arrow::field("s", arrow::utf8())},
                                   {0, 1});
      case 20: return arrow::run_end_encoded(arrow::int32(), arrow::int64());
      case 21:
      case 22: return arrow::list(AnyType(depth - 1));
      case 23: return arrow::large_list(AnyType(depth - 1));
      default: return StructType(depth);
    }
  }

  // A validity bitmap for `length` cells with the given share of nulls; none when no cell
  // is null (sometimes also a bitmap of all ones).
  std::shared_ptr<arrow::Buffer> Validity(std::int64_t length, double null_share) {
    if (null_share == 0.0 && Chance(0.7)) return nullptr;
    auto buffer = arrow::AllocateBitmap(length).ValueOrDie();
    for (std::int64_t i = 0; i < length; ++i) {
      arrow::bit_util::SetBitTo(buffer->mutable_data(), i, !Chance(null_share));
    }
    return buffer;
  }

  std::string Text() {
    static const char* const kTexts[] = {"", "x", "h\xc3\xa9", "a much longer text than sixteen",
                                         "tab\there", "0"};
    return kTexts[Uniform(0, 5)];
  }

  arrow::Status AppendValue(arrow::ArrayBuilder& builder, const arrow::DataType& type) {
    switch (type.id()) {
      case arrow::Type::BOOL:
        return static_cast<arrow::BooleanBuilder&>(builder).Append(Chance(0.5));
      case arrow::Type::INT8:
        return static_cast<arrow::Int8Builder&>(builder).Append(
            static_cast<std::int8_t>(Uniform(-128, 127)));
      case arrow::Type::INT16:
        return static_cast<arrow::Int16Builder&>(builder).Append(
            static_cast<std::int16_t>(Uniform(-32768, 32767)));
      case arrow::Type::INT32:
        return static_cast<arrow::Int32Builder&>(builder).Append(
            static_cast<std::int32_t>(Uniform(INT32_MIN, INT32_MAX)));
      case arrow::Type::INT64:
        return static_cast<arrow::Int64Builder&>(builder).Append(
            Chance(0.2) ? INT64_MIN : Uniform(-1'000'000, 1'000'000));
      case arrow::Type::UINT8:
        return static_cast<arrow::UInt8Builder&>(builder).Append(
            static_cast<std::uint8_t>(Uniform(0, 255)));
      case arrow::Type::UINT16:
        return static_cast<arrow::UInt16Builder&>(builder).Append(
            static_cast<std::uint16_t>(Uniform(0, 65535)));
      case arrow::Type::UINT32:
        return static_cast<arrow::UInt32Builder&>(builder).Append(
            static_cast<std::uint32_t>(Uniform(0, UINT32_MAX)));
      case arrow::Type::UINT64: {
        // Both sides of 2^63.
        static const std::uint64_t kValues[] = {0, 7, 9223372036854775807ull,
                                                9223372036854775808ull, UINT64_MAX};
        return static_cast<arrow::UInt64Builder&>(builder).Append(kValues[Uniform(0, 4)]);
      }
      case arrow::Type::FLOAT:
        return static_cast<arrow::FloatBuilder&>(builder).Append(
            static_cast<float>(Uniform(-1000, 1000)) / 8.0f + 0.1f);
      case arrow::Type::DOUBLE:
        return static_cast<arrow::DoubleBuilder&>(builder).Append(
            std::uniform_real_distribution<double>(-1e9, 1e9)(random_));
      case arrow::Type::STRING:
        return static_cast<arrow::StringBuilder&>(builder).Append(Text());
      case arrow::Type::LARGE_STRING:
        return static_cast<arrow::LargeStringBuilder&>(builder).Append(Text());
      case arrow::Type::BINARY:
        return static_cast<arrow::BinaryBuilder&>(builder).Append(Text());
      case arrow::Type::TIMESTAMP:
        return static_cast<arrow::TimestampBuilder&>(builder).Append(Uniform(0, 1 << 30));
      case arrow::Type::DATE32:
        return static_cast<arrow::Date32Builder&>(builder).Append(
            static_cast<std::int32_t>(Uniform(0, 20000)));
      case arrow::Type::HALF_FLOAT:
        return static_cast<arrow::HalfFloatBuilder&>(builder).Append(0x3c00);
      default:
        return arrow::Status::NotImplemented("no values for ", type.ToString());
    }
  }

  std::shared_ptr<arrow::Array> MakeScalars(const std::shared_ptr<arrow::DataType>& type,
                                            std::int64_t length) {
    if (type->id() == arrow::Type::NA) return std::make_shared<arrow::NullArray>(length);
    std::unique_ptr<arrow::ArrayBuilder> builder;
    Check(arrow::MakeBuilder(arrow::default_memory_pool(), type, &builder));
    const double null_share = NullShare(*type);
    for (std::int64_t i = 0; i < length; ++i) {
      if (Chance(null_share)) {
        Check(builder->AppendNull());
      } else {
        Check(AppendValue(*builder, *type));
      }
    }
    return builder->Finish().ValueOrDie();
  }

  template <typename ListType, typename Offset>
  std::shared_ptr<arrow::Array> MakeList(const std::shared_ptr<arrow::DataType>& type,
                                         std::int64_t length) {
    // Null lists may still span elements, as Arrow allows.
    const double null_share = NullShare(*type);
    auto validity = Validity(length, null_share);
    auto offsets = arrow::AllocateBuffer((length + 1) * sizeof(Offset)).ValueOrDie();
    auto* raw = reinterpret_cast<Offset*>(offsets->mutable_data());
    raw[0] = static_cast<Offset>(Uniform(0, 2));
    for (std::int64_t i = 0; i < length; ++i) raw[i + 1] = raw[i] + static_cast<Offset>(Uniform(0, 3));
    const auto& value_type = static_cast<const ListType&>(*type).value_type();
    const auto values = Make(value_type, raw[length] + Uniform(0, 2));
    auto data = arrow::ArrayData::Make(type, length, {validity, std::move(offsets)},
                                       {values->data()}, arrow::kUnknownNullCount);
    return arrow::MakeArray(data);
  }

  std::shared_ptr<arrow::Array> MakeStruct(const std::shared_ptr<arrow::DataType>& type,
                                           std::int64_t length) {
    std::vector<std::shared_ptr<arrow::ArrayData>> children;
    for (const auto& field : type->fields()) {
      // A field may be longer than the struct.
      children.push_back(Make(field->type(), length + Uniform(0, 1))->data());
    }
    auto data = arrow::ArrayData::Make(type, length, {Validity(length, NullShare(*type) / 2)},
                                       std::move(children), arrow::kUnknownNullCount);
    return arrow::MakeArray(data);
  }

  std::shared_ptr<arrow::Array> MakeDictionary(const std::shared_ptr<arrow::DataType>& type,
                                               std::int64_t length) {
    arrow::Int32Builder indices;
    const double null_share = NullShare(*type);
    for (std::int64_t i = 0; i < length; ++i) {
      Check(Chance(null_share) ? indices.AppendNull()
                                        : indices.Append(static_cast<std::int32_t>(Uniform(0, 1))));
    }
    arrow::StringBuilder words;
    Check(words.AppendValues({"v", "w"}));
    return arrow::DictionaryArray::FromArrays(type, indices.Finish().ValueOrDie(),
                                              words.Finish().ValueOrDie())
        .ValueOrDie();
  }

  // A union's cell is null when the child its type code picks is null there.
  std::shared_ptr<arrow::Array> MakeUnion(const std::shared_ptr<arrow::DataType>&,
                                          std::int64_t length) {
    arrow::Int8Builder codes;
    for (std::int64_t i = 0; i < length; ++i) {
      Check(codes.Append(static_cast<std::int8_t>(Uniform(0, 1))));
    }
    arrow::Int64Builder numbers;
    arrow::StringBuilder texts;
    for (std::int64_t i = 0; i < length; ++i) {
      Check(Chance(0.95) ? numbers.AppendNull() : numbers.Append(i));
      Check(Chance(0.95) ? texts.AppendNull() : texts.Append("u"));
    }
    return arrow::SparseUnionArray::Make(*codes.Finish().ValueOrDie(),
                                         {numbers.Finish().ValueOrDie(),
                                          texts.Finish().ValueOrDie()},
                                         {"i", "s"}, {0, 1})
        .ValueOrDie();
  }

  // A run's cells are null when its value is null.
  std::shared_ptr<arrow::Array> MakeRunEnds(const std::shared_ptr<arrow::DataType>& type,
                                            std::int64_t length) {
    arrow::Int32Builder ends;
    arrow::Int64Builder values;
    std::int32_t end = 0;
    while (end < length) {
      end = std::min<std::int32_t>(static_cast<std::int32_t>(length),
                                   end + static_cast<std::int32_t>(Uniform(1, 3)));
      Check(ends.Append(end));
      Check(Chance(0.9) ? values.AppendNull() : values.Append(end));
    }
    if (length == 0) return arrow::MakeArrayOfNull(type, 0).ValueOrDie();
    return arrow::RunEndEncodedArray::Make(type, length, ends.Finish().ValueOrDie(),
                                           values.Finish().ValueOrDie())
        .ValueOrDie();
  }

  std::mt19937_64 random_;
};

TEST(ArrowReaderDifferential, RandomColumnsReadAsTheCellByCellReaderReadsThem) {
  const ArrowDomCodec codec;  // one codec throughout, so its kept readers change hands
  std::int64_t rows = 0;
  std::int64_t documents = 0;
  std::shared_ptr<arrow::RecordBatch> previous;
  for (std::uint32_t seed = 1; seed <= 400; ++seed) {
    RandomColumns random(seed);
    const auto type = random.RootType(1 + static_cast<int>(seed % 5));
    const auto column = random.Make(type, static_cast<std::int64_t>(seed % 23));
    ASSERT_TRUE(column->ValidateFull().ok()) << column->ValidateFull().ToString();
    const auto batch = BatchOf(column);
    const std::string where = "seed " + std::to_string(seed);
    const std::int64_t compared = ExpectSameRows(codec, batch, where, &documents);
    ASSERT_EQ(compared, batch->num_rows()) << where;
    rows += compared;
    // Back to the batch before, then the same column in a batch object of its own: both
    // are read as they were.
    if (previous) {
      ASSERT_EQ(ExpectSameRows(codec, previous, where + ", earlier batch"), previous->num_rows());
    }
    ASSERT_EQ(ExpectSameRows(codec, BatchOf(column), where + ", same column"), batch->num_rows());
    previous = batch;
  }
  std::printf("random rows compared: %lld, of which documents: %lld\n",
              static_cast<long long>(rows), static_cast<long long>(documents));
  // Both outcomes are well represented.
  EXPECT_GT(documents, rows / 3);
  EXPECT_LT(documents, rows);
}

TEST(ArrowReaderDifferential, RowsOfTwoBatchesInterleaved) {
  // The readers kept for one batch never serve another batch's rows.
  const auto first = BatchOf(arrow::StructArray::Make(
      {FromJson(arrow::int64(), "[1, 2, 3]")}, std::vector<std::string>{"a"})
                                 .ValueOrDie());
  const auto second = BatchOf(arrow::StructArray::Make(
      {FromJson(arrow::utf8(), R"(["x", null, "z"])"),
       FromJson(arrow::int8(), "[7, 8, 9]")},
      std::vector<std::string>{"b", "a"}).ValueOrDie());
  const ArrowDomCodec codec;
  for (std::int64_t row = 0; row < 3; ++row) {
    EXPECT_EQ(codec.ToDom(first, row), (Object{{"a", row + 1}}));
    EXPECT_EQ(codec.ToDom(second, row), reference_arrow::ToDom(*second, row));
    EXPECT_EQ(codec.ToDom(second->Slice(1), row == 2 ? 1 : 0),
              reference_arrow::ToDom(*second, row == 2 ? 2 : 1));
  }
}

TEST(ArrowReaderDifferential, ThreadsSharingOneCodecReadAlike) {
  // Fields out of order and nested, so that every row needs the readers' room for members,
  // which only one reading holds at a time.
  const auto inner = arrow::StructArray::Make(
      {FromJson(arrow::utf8(), R"(["p", "q", null, "s"])"),
       FromJson(arrow::int32(), "[1, null, 3, 4]")},
      std::vector<std::string>{"y", "x"}).ValueOrDie();
  const auto batch = BatchOf(arrow::StructArray::Make(
      {inner, FromJson(arrow::list(arrow::int64()), "[[1], [], null, [2, 3]]"),
       FromJson(arrow::boolean(), "[true, false, null, true]")},
      std::vector<std::string>{"m", "l", "a"}).ValueOrDie());
  std::vector<Object> expected;
  for (std::int64_t row = 0; row < batch->num_rows(); ++row) {
    expected.push_back(reference_arrow::ToDom(*batch, row));
  }
  const ArrowDomCodec codec;
  std::atomic<int> mismatches{0};
  std::atomic<int> ready{0};
  auto reader = [&] {
    ++ready;
    while (ready.load() < 2) {
    }
    for (int pass = 0; pass < 20000; ++pass) {
      for (std::int64_t row = 0; row < batch->num_rows(); ++row) {
        if (!(codec.ToDom(batch, row) == expected[static_cast<std::size_t>(row)])) ++mismatches;
      }
    }
  };
  std::thread first(reader);
  std::thread second(reader);
  first.join();
  second.join();
  EXPECT_EQ(mismatches.load(), 0);
}

// ----------------------------------------------------------------------------------------
// Real documents

#ifdef SHREDDER_SHARED_DATA_DIR
using testing::kSharedData;

// The same column with the fields of every struct in reverse order, as a producer that lists
// fields in order of first appearance hands them over.
std::shared_ptr<arrow::ArrayData> Reversed(const std::shared_ptr<arrow::ArrayData>& data) {
  auto copy = data->Copy();
  if (data->type->id() == arrow::Type::STRUCT) {
    arrow::FieldVector fields;
    copy->child_data.clear();
    for (int k = data->type->num_fields() - 1; k >= 0; --k) {
      copy->child_data.push_back(Reversed(data->child_data[k]));
      fields.push_back(data->type->field(k)->WithType(copy->child_data.back()->type));
    }
    copy->type = arrow::struct_(fields);
  } else if (data->type->id() == arrow::Type::LIST) {
    copy->child_data = {Reversed(data->child_data[0])};
    copy->type = arrow::list(data->type->field(0)->WithType(copy->child_data[0]->type));
  }
  return copy;
}

TEST(ArrowReaderDifferential, EveryRealDocumentInBothFieldOrders) {
  const auto serialization = MakeSerialization(SerializationFormat::Json);
  const ArrowDomCodec codec;
  std::int64_t rows = 0;
  for (const auto& path : testing::DataFilesUnder(kSharedData / "real")) {
    std::vector<Object> documents;
    for (const std::string& text :
         testing::DocumentsOf(path, testing::ArrayRoot::AlsoEachElement)) {
      try {
        documents.push_back(serialization->ToDom(text));
      } catch (const std::exception&) {
        // Texts that are not documents have no Arrow form.
      }
    }
    // In batches of 64 where their kinds agree, otherwise one document per batch.
    std::vector<std::shared_ptr<arrow::RecordBatch>> batches;
    for (std::size_t start = 0; start < documents.size(); start += 64) {
      const std::vector<Object> chunk(
          documents.begin() + static_cast<std::ptrdiff_t>(start),
          documents.begin() + static_cast<std::ptrdiff_t>(std::min(documents.size(), start + 64)));
      try {
        batches.push_back(codec.FromDom(chunk));
        continue;
      } catch (const std::exception&) {
      }
      for (const Object& document : chunk) {
        try {
          batches.push_back(codec.FromDom({document}));
        } catch (const std::exception&) {
          // Arrays of mixed kinds have no Arrow form.
        }
      }
    }
    for (const auto& batch : batches) {
      const std::string where = path.filename().string();
      ASSERT_EQ(ExpectSameRows(codec, batch, where), batch->num_rows());
      const auto reversed = arrow::RecordBatch::Make(
          arrow::schema({arrow::field("doc", Reversed(batch->column_data(0))->type)}),
          batch->num_rows(), {Reversed(batch->column_data(0))});
      ASSERT_EQ(ExpectSameRows(codec, reversed, where + " reversed"), batch->num_rows());
      rows += batch->num_rows();
    }
  }
  std::printf("real documents compared: %lld\n", static_cast<long long>(rows));
  EXPECT_GT(rows, 800);  // most of amazon_cellphones mixes kinds within one array
}
#endif

}  // namespace
}  // namespace shredder

// Where the two readers could differ, this one declines:
// - simdjson refuses more than RapidJSON does (invalid UTF-8, lone surrogates), so every
//   text simdjson refuses goes to RapidJSON, which then decides;
// - RapidJSON refuses as "too big" a few numbers that simdjson reads as finite values: a
//   zero significand with an exponent above 308 ("0e400") and values at the very top of the
//   double range. A document with a double of 1e307 or more declines; one with a zero double
//   declines when its text holds an exponent of three digits or more;
// - integers beyond 64 bits are refused by simdjson, where RapidJSON reads them as doubles;
// - nesting beyond kMaxJsonNesting declines, so that RapidJSON reports it.
// Everything else reads the same: integers below zero are "signed", the others "unsigned"
// (so "-0" is unsigned zero); doubles are correctly rounded by both; strings are the same
// bytes. Of repeated keys the last wins, as with RapidJSON.
#include "binding/codec/json_simd_reader.h"

#include <simdjson.h>

#include <cmath>
#include <memory>
#include <vector>

#include "binding/codec/deferred_texts.h"
#include "binding/codec/json_reader.h"
#include "binding/codec/key_predictor.h"
#include "diag/mutex.h"
#include "diag/thread_annotations.h"

namespace Voro {
namespace {

namespace dom = simdjson::dom;

// Larger texts go to RapidJSON: simdjson's working memory is several times the text.
constexpr size_t kMaxFastText = size_t{16} << 20;
// A parser keeps its buffers for the next text; one sized for more than this is dropped
// after use instead, so that an idle process does not hold a large document's buffers.
constexpr size_t kMaxKeptCapacity = size_t{1} << 20;
// Doubles from here up may be refused by RapidJSON although they are finite.
constexpr double kTopOfRange = 1e307;

// One parser kept between calls; a caller finding it taken makes its own.
class ParserPool {
 public:
  std::unique_ptr<dom::parser> Take() {
    {
      MutexLock lock(&mutex_);
      if (spare_ != nullptr) return std::move(spare_);
    }
    return std::make_unique<dom::parser>();
  }
  void Give(std::unique_ptr<dom::parser> parser) {
    if (parser->capacity() > kMaxKeptCapacity) return;
    MutexLock lock(&mutex_);
    spare_ = std::move(parser);
  }

 private:
  Mutex mutex_;
  std::unique_ptr<dom::parser> spare_ GUARDED_BY(mutex_);
};

ParserPool& Pool() {
  static ParserPool pool;
  return pool;
}

// Whether the text holds something that reads as an exponent of three or more digits
// ("e400", "E+1000"). Strings may hold such letters too; they only cost the fast path.
bool HasLongExponent(std::string_view text) {
  for (size_t i = 0; i + 3 < text.size(); ++i) {
    if ((text[i] | 0x20) != 'e') continue;
    size_t j = i + 1;
    if (text[j] == '+') ++j;
    size_t digits = 0;
    while (j < text.size() && text[j] >= '0' && text[j] <= '9' && digits < 3) {
      ++j;
      ++digits;
    }
    if (digits == 3) return true;
  }
  return false;
}

struct Frame {
  BindingProperty* node;
  bool is_object;
  uint32_t fields_read;
  dom::array::iterator element;
  dom::array::iterator elements_end;
  dom::object::iterator field;
  dom::object::iterator fields_end;
};

class TreeBuilder {
 public:
  explicit TreeBuilder(BindingProperty* root)
      : root_(root), keys_(root->strings()), texts_(root->strings()) {}

  // False when the document is one this path does not answer for.
  bool Build(dom::element document) {
    if (!Store(document, root_, /*is_field=*/false)) return false;
    while (depth_ != 0) {
      if (!(frames_[depth_ - 1].is_object ? ReadFields() : ReadElements())) return false;
    }
    texts_.Flush();
    return true;
  }

  bool saw_zero_double() const { return saw_zero_double_; }

 private:
  // The innermost object's fields, up to its end or to a container among them, which is
  // opened on a frame of its own. The iterator stays in a local meanwhile: a frame's copy
  // is only brought up to date before another frame is pushed.
  bool ReadFields() {
    Frame& frame = frames_[depth_ - 1];
    BindingProperty* const node = frame.node;
    const size_t depth = depth_ - 1;
    dom::object::iterator field = frame.field;
    const dom::object::iterator end = frame.fields_end;
    uint32_t read = frame.fields_read;
    while (field != end) {
      const dom::key_value_pair pair = *field;
      ++field;
      BindingProperty& slot = node->AppendField(keys_.Intern(depth, read++, pair.key));
      if (IsContainer(pair.value)) {
        frame.field = field;
        frame.fields_read = read;
        return Open(pair.value, &slot);
      }
      if (!StoreScalar(pair.value, &slot, /*is_field=*/true)) return false;
    }
    // Texts still waiting may go to this object's fields, so they wait on unless finishing
    // it frees a field.
    if (!node->TryFinishFieldsWithoutFreeing()) {
      texts_.Flush();
      node->FinishFields();
    }
    --depth_;
    return true;
  }

  // The innermost array's elements, as ReadFields reads an object's fields.
  bool ReadElements() {
    Frame& frame = frames_[depth_ - 1];
    BindingProperty* const node = frame.node;
    dom::array::iterator element = frame.element;
    const dom::array::iterator end = frame.elements_end;
    while (element != end) {
      const dom::element value = *element;
      ++element;
      BindingProperty& slot = node->Append();
      if (IsContainer(value)) {
        frame.element = element;
        return Open(value, &slot);
      }
      if (!StoreScalar(value, &slot, /*is_field=*/false)) return false;
    }
    --depth_;
    return true;
  }

  static bool IsContainer(dom::element value) {
    const dom::element_type type = value.type();
    return type == dom::element_type::OBJECT || type == dom::element_type::ARRAY;
  }

  bool Store(dom::element value, BindingProperty* slot, bool is_field) {
    return IsContainer(value) ? Open(value, slot) : StoreScalar(value, slot, is_field);
  }

  // Makes `slot` the container `value` is and pushes its frame.
  bool Open(dom::element value, BindingProperty* slot) {
    if (depth_ >= kMaxJsonNesting) return false;
    // The frames grow in steps and are reused: a push only writes what it needs.
    if (depth_ == frames_.size()) frames_.resize(depth_ * 2 + 16);
    Frame& frame = frames_[depth_++];
    frame.node = slot;
    frame.fields_read = 0;
    if (value.type() == dom::element_type::ARRAY) {
      const dom::array array = value.get_array().value_unsafe();
      slot->MakeCollection(array.size());
      frame.is_object = false;
      frame.element = array.begin();
      frame.elements_end = array.end();
    } else {
      const dom::object object = value.get_object().value_unsafe();
      slot->MakeStructure(object.size());
      frame.is_object = true;
      frame.field = object.begin();
      frame.fields_end = object.end();
    }
    return true;
  }

  // Stores a scalar. A string into a field's value may be set later (see DeferredTexts).
  bool StoreScalar(dom::element value, BindingProperty* slot, bool is_field) {
    switch (value.type()) {
      case dom::element_type::INT64: {
        const int64_t number = value.get_int64().value_unsafe();
        if (number < 0) {
          slot->SetSigned(number);
        } else {
          slot->SetUnsigned(static_cast<uint64_t>(number));
        }
        return true;
      }
      case dom::element_type::UINT64:
        slot->SetUnsigned(value.get_uint64().value_unsafe());
        return true;
      case dom::element_type::DOUBLE: {
        const double number = value.get_double().value_unsafe();
        if (std::fabs(number) >= kTopOfRange) return false;
        if (number == 0) saw_zero_double_ = true;
        slot->SetFloat(number);
        return true;
      }
      case dom::element_type::STRING:
        texts_.SetString(slot, value.get_string().value_unsafe(), /*slot_may_wait=*/is_field);
        return true;
      case dom::element_type::BOOL:
        slot->SetBool(value.get_bool().value_unsafe());
        return true;
      case dom::element_type::NULL_VALUE:
        slot->Reset();
        return true;
      case dom::element_type::ARRAY:
      case dom::element_type::OBJECT:
        break;
    }
    return false;
  }

  BindingProperty* const root_;
  std::vector<Frame> frames_;  // frames_[0, depth_) are open
  size_t depth_ = 0;
  bool saw_zero_double_ = false;
  KeyPredictor keys_;
  DeferredTexts texts_;
};

}  // namespace

bool ReadJsonWithSimdjson(std::string_view text, BindingProperty* root) {
  if (text.size() > kMaxFastText) return false;
  std::unique_ptr<dom::parser> parser = Pool().Take();
  dom::element document;
  if (parser->parse(text.data(), text.size()).get(document) != simdjson::SUCCESS) {
    Pool().Give(std::move(parser));
    return false;
  }
  bool vouched;
  {
    TreeBuilder builder(root);
    vouched = builder.Build(document) && !(builder.saw_zero_double() && HasLongExponent(text));
  }
  Pool().Give(std::move(parser));
  if (!vouched) root->Reset();
  return vouched;
}

}  // namespace Voro

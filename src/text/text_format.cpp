#include "text/text_format.h"

#include <vector>

namespace vqr::text {

std::u16string FormatText(std::u16string_view format, std::initializer_list<FormatArg> args) {
  std::u16string out;
  const FormatArg* next = args.begin();
  auto take = [&]() -> const FormatArg* { return next != args.end() ? next++ : nullptr; };

  for (std::size_t i = 0; i < format.size(); ++i) {
    const char16_t c = format[i];
    if (c != u'%' || i + 1 >= format.size()) {
      out.push_back(c);
      continue;
    }
    std::size_t j = i + 1;
    if (format[j] == u'%') {
      out.push_back(u'%');
      i = j;
      continue;
    }
    int width = 0;
    while (j < format.size() && format[j] >= u'0' && format[j] <= u'9')
      width = width * 10 + (format[j++] - u'0');
    if (j < format.size() && format[j] == u'l') ++j;  // %ld is %d here
    if (j >= format.size()) {
      out.append(format.substr(i));
      break;
    }
    std::u16string field;
    const FormatArg* arg = nullptr;
    switch (format[j]) {
      case u's':
        if ((arg = take()) != nullptr) {
          if (arg->kind() == FormatArg::Kind::kWide)
            field = arg->wide();
          else
            field = Utf8ToUtf16(arg->narrow());
        }
        break;
      case u'S':
        if ((arg = take()) != nullptr) {
          if (arg->kind() == FormatArg::Kind::kNarrow)
            for (char byte : arg->narrow()) field.push_back(static_cast<unsigned char>(byte));
          else
            field = arg->wide();
        }
        break;
      case u'c':
        if ((arg = take()) != nullptr) field.push_back(arg->character());
        break;
      case u'd': {
        arg = take();
        const std::int64_t value = arg != nullptr ? arg->number() : 0;
        const std::uint64_t magnitude = value < 0 ? static_cast<std::uint64_t>(-value) : value;
        std::u16string digits;
        std::uint64_t rest = magnitude;
        do {
          digits.insert(digits.begin(), static_cast<char16_t>(u'0' + rest % 10));
          rest /= 10;
        } while (rest != 0);
        if (value < 0) digits.insert(digits.begin(), u'-');
        field = std::move(digits);
        break;
      }
      default:  // not a conversion this formatter knows: copy it as it stands
        out.append(format.substr(i, j - i + 1));
        i = j;
        continue;
    }
    if (static_cast<int>(field.size()) < width) out.append(width - field.size(), u' ');
    out += field;
    i = j;
  }
  return out;
}

std::vector<std::u16string> FormatSpecifiers(std::u16string_view format) {
  std::vector<std::u16string> specifiers;
  for (std::size_t i = 0; i < format.size(); ++i) {
    if (format[i] != u'%' || i + 1 >= format.size()) continue;
    std::size_t j = i + 1;
    if (format[j] == u'%') {
      i = j;
      continue;
    }
    while (j < format.size() && format[j] >= u'0' && format[j] <= u'9') ++j;
    if (j < format.size() && format[j] == u'l') ++j;
    if (j >= format.size()) {  // cut short: the formatter copies the rest as it stands
      specifiers.emplace_back(format.substr(i));
      break;
    }
    specifiers.emplace_back(format.substr(i, j - i + 1));
    i = j;
  }
  return specifiers;
}

bool SameSpecifiers(std::u16string_view original, std::u16string_view translation) {
  return FormatSpecifiers(original) == FormatSpecifiers(translation);
}

std::u16string_view AcceptTranslation(std::u16string_view original,
                                      std::u16string_view translation) {
  return SameSpecifiers(original, translation) ? translation : original;
}

std::u16string Utf8ToUtf16(std::string_view text) {
  std::u16string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size();) {
    const unsigned char lead = static_cast<unsigned char>(text[i]);
    char32_t code = 0xFFFD;
    int length = 1;
    if (lead < 0x80) {
      code = lead;
    } else if ((lead >> 5) == 0x6) {
      length = 2;
      code = lead & 0x1F;
    } else if ((lead >> 4) == 0xE) {
      length = 3;
      code = lead & 0x0F;
    } else if ((lead >> 3) == 0x1E) {
      length = 4;
      code = lead & 0x07;
    } else {
      length = 0;
    }
    bool valid = length > 0 && i + length <= text.size();
    for (int k = 1; valid && k < length; ++k) {
      const unsigned char more = static_cast<unsigned char>(text[i + k]);
      if ((more >> 6) != 0x2)
        valid = false;
      else
        code = (code << 6) | (more & 0x3F);
    }
    // The shortest form only, nothing above U+10FFFF, no surrogate halves: anything else is
    // not UTF-8 and becomes one U+FFFD per byte of the bad sequence's lead.
    constexpr char32_t kSmallest[] = {0, 0, 0x80, 0x800, 0x10000};
    if (valid && (code < kSmallest[length] || code > 0x10FFFF || (code >= 0xD800 && code < 0xE000)))
      valid = false;
    if (!valid) {
      out.push_back(u'\uFFFD');
      ++i;
      continue;
    }
    if (code >= 0x10000) {
      code -= 0x10000;
      out.push_back(static_cast<char16_t>(0xD800 + (code >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + (code & 0x3FF)));
    } else {
      out.push_back(static_cast<char16_t>(code));
    }
    i += length;
  }
  return out;
}

std::string Utf16ToUtf8(std::u16string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    char32_t code = text[i];
    if (code >= 0xD800 && code < 0xDC00 && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
        text[i + 1] < 0xE000) {
      code = 0x10000 + ((code - 0xD800) << 10) + (text[i + 1] - 0xDC00);
      ++i;
    } else if (code >= 0xD800 && code < 0xE000) {
      code = 0xFFFD;
    }
    if (code < 0x80) {
      out.push_back(static_cast<char>(code));
    } else if (code < 0x800) {
      out.push_back(static_cast<char>(0xC0 | (code >> 6)));
      out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
    } else if (code < 0x10000) {
      out.push_back(static_cast<char>(0xE0 | (code >> 12)));
      out.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
    } else {
      out.push_back(static_cast<char>(0xF0 | (code >> 18)));
      out.push_back(static_cast<char>(0x80 | ((code >> 12) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
    }
  }
  return out;
}

}  // namespace vqr::text

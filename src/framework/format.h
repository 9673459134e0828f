// printf-like formatting of shown and logged text, with the arguments checked against the format.
#pragma once

#include <QByteArray>
#include <QLatin1StringView>
#include <QString>

#include <concepts>
#include <cstdint>
#include <initializer_list>
#include <type_traits>
#include <variant>
#include <vector>

// One argument of Format. Converts implicitly from the integer types, floating-point numbers, text
// (QString; const char* as UTF-8; QByteArray as Latin-1, one character per byte) and pointers (%p).
class FormatArg {
public:
  template <std::integral T>
    requires(!std::same_as<T, bool>)
  FormatArg(T value) : m_Value(Widen(value)) {}
  FormatArg(double value) : m_Value(value) {}
  FormatArg(const QString& value) : m_Value(value) {}
  FormatArg(const char* value) : m_Value(QString::fromUtf8(value)) {}
  FormatArg(QLatin1StringView value) : m_Value(QString(value)) {}
  FormatArg(const QByteArray& value) : m_Value(QString::fromLatin1(value)) {}
  FormatArg(const void* value) : m_Value(value) {}

  // Integers keep their width and signedness, so %x of a negative int shows 32 bits.
  using Value = std::variant<int, unsigned, long long, unsigned long long, double, QString, const void*>;
  const Value& Get() const { return m_Value; }

private:
  template <typename T> static Value Widen(T value) {
    if constexpr (sizeof(T) <= sizeof(int)) {
      if constexpr (std::is_signed_v<T>) return static_cast<int>(value);
      else return static_cast<unsigned>(value);
    } else {
      if constexpr (std::is_signed_v<T>) return static_cast<long long>(value);
      else return static_cast<unsigned long long>(value);
    }
  }

  Value m_Value;
};

// Formats like printf: %d %i %u %x %X %o (integers), %c (an integer character code), %s (text),
// %e %f %g and capitals (floating point), %p (pointer), %%; flags - 0 + space #, width and precision,
// '*' taking an integer argument; length modifiers (l, ll, h, z...) are accepted and ignored.
// %d of an unsigned value never shows it as negative. Arguments left over are ignored.
// Raises Exception when the format is malformed, a conversion does not fit its argument's kind, or
// arguments are missing.
QString Format(const QString& format, std::initializer_list<FormatArg> args);
QString Format(const QString& format, const std::vector<FormatArg>& args);

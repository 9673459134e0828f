#include "framework/format.h"

#include "framework/exception.h"

#include <fmt/args.h>
#include <fmt/printf.h>

#include <span>
#include <string>

namespace {

enum class Kind { Integer, Real, Text, Pointer };

Kind KindOf(const FormatArg::Value& value) {
  switch (value.index()) {
    case 4: return Kind::Real;
    case 5: return Kind::Text;
    case 6: return Kind::Pointer;
    default: return Kind::Integer;
  }
}

QString KindName(Kind kind) {
  switch (kind) {
    case Kind::Integer: return QStringLiteral("an integer");
    case Kind::Real: return QStringLiteral("a floating-point number");
    case Kind::Text: return QStringLiteral("a string");
    case Kind::Pointer: return QStringLiteral("a pointer");
  }
  return {};
}

bool IsUnsigned(const FormatArg::Value& value) {
  return std::holds_alternative<unsigned>(value) || std::holds_alternative<unsigned long long>(value);
}

// Walks the format once, checking each conversion against the next argument and rewriting it into
// what fmt's printf expects, while filling fmt's argument list in the same order.
class Formatter {
public:
  Formatter(const QString& format, std::span<const FormatArg> args)
      : m_Format(format), m_Source(format.toUtf8().toStdString()), m_Args(args) {}

  QString Run() {
    while (m_Pos < m_Source.size()) {
      const char c = m_Source[m_Pos++];
      if (c == '%') Conversion();
      else m_Out += c;
    }
    try {
      return QString::fromStdString(fmt::vsprintf(fmt::string_view(m_Out), m_Store));
    } catch (const fmt::format_error& error) {
      Fail(QString::fromUtf8(error.what()));
    }
  }

private:
  [[noreturn]] void Fail(const QString& reason) const {
    throw Exception(QStringLiteral("Format '%1' invalid or incompatible with its arguments: %2").arg(m_Format, reason));
  }

  char Peek() const { return m_Pos < m_Source.size() ? m_Source[m_Pos] : '\0'; }

  const FormatArg::Value& NextArg(char conversion) {
    if (m_Next >= m_Args.size())
      Fail(QStringLiteral("'%%1' has no argument (%2 given)").arg(QChar::fromLatin1(conversion)).arg(m_Args.size()));
    return m_Args[m_Next++].Get();
  }

  const FormatArg::Value& Expect(char conversion, Kind kind) {
    const FormatArg::Value& value = NextArg(conversion);
    if (KindOf(value) != kind)
      Fail(QStringLiteral("'%%1' needs %2 but argument %3 is %4")
               .arg(QChar::fromLatin1(conversion), KindName(kind))
               .arg(m_Next)
               .arg(KindName(KindOf(value))));
    return value;
  }

  void Push(const FormatArg::Value& value) {
    std::visit(
        [this](const auto& v) {
          using T = std::decay_t<decltype(v)>;
          if constexpr (std::is_same_v<T, QString>) m_Store.push_back(v.toStdString());
          else m_Store.push_back(v);
        },
        value);
  }

  // Width or precision: digits, or '*' taking an integer argument.
  void Count() {
    if (Peek() == '*') {
      Push(Expect('*', Kind::Integer));
      m_Out += m_Source[m_Pos++];
      return;
    }
    while (Peek() >= '0' && Peek() <= '9') m_Out += m_Source[m_Pos++];
  }

  void Conversion() {
    if (Peek() == '%') {
      m_Out += "%%";
      ++m_Pos;
      return;
    }
    m_Out += '%';
    while (Peek() != '\0' && std::string_view("-0+ #").find(Peek()) != std::string_view::npos) m_Out += m_Source[m_Pos++];
    Count();
    if (Peek() == '.') {
      m_Out += m_Source[m_Pos++];
      Count();
    }
    while (Peek() != '\0' && std::string_view("hlLjzt").find(Peek()) != std::string_view::npos) ++m_Pos;
    if (m_Pos >= m_Source.size()) Fail(QStringLiteral("it ends inside a conversion"));
    char conversion = m_Source[m_Pos++];
    switch (conversion) {
      case 'd':
      case 'i': {
        const FormatArg::Value& value = Expect(conversion, Kind::Integer);
        // fmt would reinterpret a large unsigned value as negative.
        if (IsUnsigned(value)) conversion = 'u';
        Push(value);
        break;
      }
      case 'u':
      case 'x':
      case 'X':
      case 'o': Push(Expect(conversion, Kind::Integer)); break;
      case 'c': PushCharacter(Expect(conversion, Kind::Integer)); conversion = 's'; break;
      case 's': Push(Expect(conversion, Kind::Text)); break;
      case 'p': Push(Expect(conversion, Kind::Pointer)); break;
      case 'e':
      case 'E':
      case 'f':
      case 'F':
      case 'g':
      case 'G': Push(Expect(conversion, Kind::Real)); break;
      default: Fail(QStringLiteral("unknown conversion '%%1'").arg(QString::fromUtf8(&conversion, 1)));
    }
    m_Out += conversion;
  }

  // %c goes through %s so that every Unicode character, not only ASCII, comes out whole.
  void PushCharacter(const FormatArg::Value& value) {
    const long long code = std::visit(
        [](const auto& v) -> long long {
          using T = std::decay_t<decltype(v)>;
          if constexpr (std::is_integral_v<T>) return v > 0x10FFFF ? -1 : static_cast<long long>(v);
          else return -1;
        },
        value);
    if (code < 0 || (code >= 0xD800 && code <= 0xDFFF)) Fail(QStringLiteral("'%c' needs a character code"));
    const char32_t character = static_cast<char32_t>(code);
    m_Store.push_back(QString::fromUcs4(&character, 1).toStdString());
  }

  const QString& m_Format;
  const std::string m_Source;
  const std::span<const FormatArg> m_Args;
  std::size_t m_Pos = 0;
  std::size_t m_Next = 0;
  std::string m_Out;
  fmt::dynamic_format_arg_store<fmt::printf_context> m_Store;
};

}  // namespace

QString Format(const QString& format, std::initializer_list<FormatArg> args) {
  return Formatter(format, std::span<const FormatArg>(args.begin(), args.size())).Run();
}

QString Format(const QString& format, const std::vector<FormatArg>& args) {
  return Formatter(format, args).Run();
}

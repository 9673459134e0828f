// The enumerations, sets and event types that the whole library shares. Ordinals count from 0 in
// the order given; a set stores the value with ordinal n as bit n.
#pragma once

#include <QString>

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <type_traits>

class QObject;

// A set of enumeration values held in the bits of Storage (bit n = ordinal n), like the sets the
// library's properties and events carry. Bits() gives the stored form for APIs that need it.
template <class Enum, class Storage>
class TSet {
  static_assert(std::is_enum_v<Enum> && std::is_unsigned_v<Storage>);

public:
  constexpr TSet() = default;
  constexpr TSet(std::initializer_list<Enum> values) {
    for (const Enum value : values) Include(value);
  }
  static constexpr TSet FromBits(Storage bits) {
    TSet set;
    set.m_Bits = bits;
    return set;
  }

  constexpr Storage Bits() const { return m_Bits; }
  constexpr bool Contains(Enum value) const { return (m_Bits & Bit(value)) != 0; }
  constexpr bool IsEmpty() const { return m_Bits == 0; }
  constexpr TSet& Include(Enum value) {
    m_Bits = static_cast<Storage>(m_Bits | Bit(value));
    return *this;
  }
  constexpr TSet& Exclude(Enum value) {
    m_Bits = static_cast<Storage>(m_Bits & ~Bit(value));
    return *this;
  }

  friend constexpr TSet operator|(TSet a, TSet b) { return FromBits(static_cast<Storage>(a.m_Bits | b.m_Bits)); }
  friend constexpr TSet operator&(TSet a, TSet b) { return FromBits(static_cast<Storage>(a.m_Bits & b.m_Bits)); }
  friend constexpr TSet operator-(TSet a, TSet b) { return FromBits(static_cast<Storage>(a.m_Bits & ~b.m_Bits)); }
  friend constexpr bool operator==(TSet a, TSet b) = default;

private:
  static constexpr Storage Bit(Enum value) { return static_cast<Storage>(Storage{1} << static_cast<unsigned>(value)); }

  Storage m_Bits = 0;
};

// The level of a log entry; a sink records an entry whose level does not exceed its own.
enum TDetailLevel { dlSimple, dlDetail, dlDebug };

// Whether a terminal window sends typed keys, shows received data, both or neither.
enum TTerminalUsage { tuNone, tuSend, tuReceive, tuBoth };

// Flow control of a modem connection.
enum TStreamProtocol { spNone, spXonXoff, spHardware };

// Comm events a port reports. Up to tsRing the ordinal is the driver's event bit number; from
// tsRx80Full on the driver's bit is one higher.
enum TTraceState {
  tsRxChar,
  tsRxFlag,
  tsTxEmpty,
  tsCTS,
  tsDSR,
  tsRLSD,
  tsBreak,
  tsErr,
  tsRing,
  tsRx80Full,
  tsEvent1,
  tsEvent2
};
using TTraceStates = TSet<TTraceState, std::uint16_t>;

// Modem status lines.
enum TModemSignal { msCTS, msDSR, msRing, msRLSD };
using TModemSignals = TSet<TModemSignal, std::uint8_t>;

// The status bits of the driver's COMSTAT record, in the record's order (named after its fields).
enum TComStateFlag { fCtsHold, fDsrHold, fRlsdHold, fXoffHold, fXoffSent, fEof, fTxim };
using TComStateFlags = TSet<TComStateFlag, std::uint8_t>;

// Event types. The sender comes first; a non-const reference is an argument the handler may change.
using TNotifyEvent = std::function<void(QObject* Sender)>;
using TOnFatalErrorEvent = std::function<void(QObject* Sender, std::uint32_t ErrorCode, std::uint32_t Detail,
                                              const QString& ErrorMsg, bool& RaiseException)>;
using TOnReceived = std::function<void(QObject* Com, const char* Buffer, std::uint32_t Received)>;
using TOnSent = std::function<void(QObject* Com)>;
using TOnListEvent = std::function<void(QObject* Com, int EventNo, const char* Buffer, int Received, bool& flHandled)>;
using TOnTraceEvent = std::function<void(QObject* Com, TTraceStates Event)>;
using TOnCommErrorEvent = std::function<void(QObject* Com, std::uint32_t CommCode, std::uint32_t SysError,
                                             TComStateFlags State, bool& flFlashBuffers)>;
using TDataSendEvent =
    std::function<void(QObject* Sender, const char* ptrBuffer, std::uint32_t Len, bool flSynchro, bool& flHandled)>;

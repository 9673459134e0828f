#include "qx/qxnotifylist.h"

#include "framework/exception.h"
#include "framework/format.h"

namespace {

[[noreturn]] void IndexError(int index) { throw Exception(Format("List index out of bounds (%d)", {index})); }

}  // namespace

int TqxNotifyList::Add(const TqxNotifyHandler& Handler) {
  m_Items.append(Handler);
  return Count() - 1;
}

void TqxNotifyList::Delete(int Index) {
  if (Index < 0 || Index >= Count()) IndexError(Index);
  m_Items.removeAt(Index);
}

void TqxNotifyList::Clear() { m_Items.clear(); }

TqxNotifyHandler TqxNotifyList::Get(int Index) const {
  if (Index < 0 || Index >= Count()) IndexError(Index);
  return m_Items[Index];
}

int TqxNotifyList::IndexOf(const TqxNotifyHandler& Handler) const {
  return static_cast<int>(m_Items.indexOf(Handler));
}

void TqxNotifyList::Notify(TqxBaseIO* Sender, int Code) const {
  // A handler may add or remove handlers (a processor destroyed by a handler removes its own).
  // Those present when the call began are called in order, each only while still in the list.
  const QList<TqxNotifyHandler> handlers = m_Items;
  for (const TqxNotifyHandler& handler : handlers)
    if (m_Items.contains(handler)) handler(Sender, Code);
}

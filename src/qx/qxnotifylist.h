// TqxNotifyList: the notification handlers of an I/O component.
#pragma once

#include <QList>

class TqxBaseIO;

// Notification codes an I/O component sends to its handlers.
constexpr int qxNotifyClosed = 1;
constexpr int qxNotifyOpened = 2;
constexpr int qxNotifyDevicesChanged = 3;

// A method reference: the object and the code that runs on it. Two handlers are equal when both
// parts are, so the same method of the same object is found again in a list.
struct TqxNotifyHandler {
  using Code = void (*)(void* Object, TqxBaseIO* Sender, int NotifyCode);

  Code Proc = nullptr;
  void* Object = nullptr;

  // The handler that calls Object->*Method(Sender, Code) (virtual methods dispatch as usual).
  template <class T, void (T::*Method)(TqxBaseIO*, int)>
  static TqxNotifyHandler Of(T* Object) {
    return {[](void* object, TqxBaseIO* sender, int code) { (static_cast<T*>(object)->*Method)(sender, code); },
            Object};
  }

  void operator()(TqxBaseIO* Sender, int NotifyCode) const { Proc(Object, Sender, NotifyCode); }
  bool operator==(const TqxNotifyHandler&) const = default;
};

// The handlers in the order they were added.
class TqxNotifyList {
public:
  int Count() const { return static_cast<int>(m_Items.size()); }
  // Appends Handler; returns its index.
  int Add(const TqxNotifyHandler& Handler);
  // Removes the entry at Index. Delete and Get raise Exception for an index out of range.
  void Delete(int Index);
  void Clear();
  TqxNotifyHandler Get(int Index) const;
  // Index of the first entry equal to Handler, or -1.
  int IndexOf(const TqxNotifyHandler& Handler) const;
  // Calls every handler in index order with (Sender, Code).
  void Notify(TqxBaseIO* Sender, int Code) const;

private:
  QList<TqxNotifyHandler> m_Items;
};

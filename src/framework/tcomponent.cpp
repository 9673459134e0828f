#include "framework/tcomponent.h"

TComponent::TComponent(QObject* owner) : QObject(owner) {}

TComponent::~TComponent() {
  // Our own connections die with us; nothing may call back into a half-destroyed component.
  for (const auto& watched : std::as_const(m_FreeNotifies)) disconnect(watched.second);
}

QString TComponent::Name() const { return objectName(); }

void TComponent::SetName(const QString& name) { setObjectName(name); }

QObject* TComponent::Owner() const { return parent(); }

bool TComponent::IsLoading() const { return m_Loading; }

void TComponent::BeginLoading() { m_Loading = true; }

void TComponent::Loaded() { m_Loading = false; }

bool TComponent::IsDesigning() const { return m_Designing; }

void TComponent::SetDesigning(bool designing) { m_Designing = designing; }

void TComponent::FreeNotification(QObject* other) {
  if (other == nullptr || other == this) return;
  for (const auto& watched : std::as_const(m_FreeNotifies))
    if (watched.first == other) return;
  // destroyed() is emitted from QObject's destructor, when `other` is no longer its derived type:
  // receivers may compare the pointer but must not call it.
  const auto connection = connect(other, &QObject::destroyed, this, [this, other] { OtherDestroyed(other); },
                                  Qt::DirectConnection);
  m_FreeNotifies.append({other, connection});
}

void TComponent::RemoveFreeNotification(QObject* other) {
  for (qsizetype i = 0; i < m_FreeNotifies.size(); ++i) {
    if (m_FreeNotifies[i].first == other) {
      disconnect(m_FreeNotifies[i].second);
      m_FreeNotifies.removeAt(i);
      return;
    }
  }
}

void TComponent::OtherDestroyed(QObject* other) {
  RemoveFreeNotification(other);
  Notification(other, TOperation::opRemove);
}

void TComponent::Notification(QObject*, TOperation) {}

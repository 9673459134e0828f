// The component base of the library: a QObject whose owner (its parent) destroys it, with a name,
// the loading and designing states, and removal notifications between components that refer to
// each other without owning each other.
#pragma once

#include <QList>
#include <QObject>
#include <QPointer>
#include <QString>

enum class TOperation { opInsert, opRemove };

// Base of every non-visual component. A component that holds a plain reference to another asks it
// for a free notification; when the other is destroyed, Notification(other, opRemove) runs here and
// the reference is cleared there.
class TComponent : public QObject {
  Q_OBJECT

public:
  explicit TComponent(QObject* owner = nullptr);
  ~TComponent() override;

  QString Name() const;
  void SetName(const QString& name);
  QObject* Owner() const;

  // Loading: the form applies stored values between BeginLoading and Loaded.
  bool IsLoading() const;
  void BeginLoading();
  virtual void Loaded();

  bool IsDesigning() const;
  void SetDesigning(bool designing);

  // When `other` is destroyed, Notification(other, TOperation::opRemove) runs on this component.
  // Asking twice for the same object keeps one request.
  void FreeNotification(QObject* other);
  void RemoveFreeNotification(QObject* other);

protected:
  virtual void Notification(QObject* component, TOperation operation);

private:
  void OtherDestroyed(QObject* other);

  bool m_Loading = false;
  bool m_Designing = false;
  // Objects watched for destruction, with the connection that reports it.
  QList<QPair<QObject*, QMetaObject::Connection>> m_FreeNotifies;
};

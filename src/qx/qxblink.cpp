#include "qx/qxblink.h"

#include "qx/qxsemaphore.h"

namespace {
bool g_BlinkTimerEnded = false;
}

TqxBlink::TqxBlink() {
  SetEnabled(false);
  SetInterval(100);
  OnTimer = [this](QObject*) { Tick(); };
}

TqxBlink::~TqxBlink() { g_BlinkTimerEnded = true; }

void TqxBlink::AddMember(TqxSemaphore* member) {
  if (!m_Members.contains(member)) m_Members.append(member);
  if (!m_Members.isEmpty()) SetEnabled(true);
}

void TqxBlink::RemoveMember(TqxSemaphore* member) {
  m_Members.removeAll(member);
  if (m_Members.isEmpty()) SetEnabled(false);
}

void TqxBlink::Tick() {
  m_Phase = !m_Phase;
  for (TqxSemaphore* member : m_Members)
    if (member->Checked()) member->ShowState(m_Phase);
}

TqxBlink* BlinkTimer() {
  if (g_BlinkTimerEnded) return nullptr;
  static TqxBlink timer;
  return &timer;
}

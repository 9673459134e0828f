#include "qx/qxsemaphore.h"

#include "qx/qxglcontext.h"

#include <GL/gl.h>
#include <GL/glu.h>

#include <QPainter>
#include <QPen>

#include <algorithm>
#include <climits>

TqxSemaphore::TqxSemaphore(QWidget* owner) : QWidget(owner) {
  m_PulseTimer.SetEnabled(false);
  m_PulseTimer.SetInterval(1000);
  m_PulseTimer.OnTimer = [this](QObject*) { SetChecked(false); };
  resize(16, 16);
  SetChecked(true);
  Rebuild();
}

TqxSemaphore::~TqxSemaphore() {
  if (TqxBlink* blink = BlinkTimer()) blink->RemoveMember(this);
  QObject::disconnect(m_ImagesDestroyed);
}

void TqxSemaphore::SetStretchImage(bool value) {
  if (value == m_StretchImage) return;
  m_StretchImage = value;
  Rebuild();
}

void TqxSemaphore::SetBlink(bool value) {
  if (value == m_Blink) return;
  m_Blink = value;
  TqxBlink* blink = BlinkTimer();
  if (blink == nullptr) return;
  if (value) {
    blink->AddMember(this);
  } else {
    blink->RemoveMember(this);
    ShowState(m_Checked);
  }
}

int TqxSemaphore::BlinkInterval() const {
  const TqxBlink* blink = BlinkTimer();
  return blink ? static_cast<int>(std::min<std::uint32_t>(blink->Interval(), INT_MAX)) : 0;
}

void TqxSemaphore::SetBlinkInterval(int value) {
  if (TqxBlink* blink = BlinkTimer()) blink->SetInterval(static_cast<std::uint32_t>(std::max(value, 0)));
}

void TqxSemaphore::SetChecked(bool value) {
  if (m_Pulse) {
    // Every write of true starts the pulse period afresh; a write of false ends it.
    m_PulseTimer.SetEnabled(false);
    m_PulseTimer.SetEnabled(value);
  }
  if (value != m_Checked) {
    m_Checked = value;
    ShowState(value);
  }
}

void TqxSemaphore::SetImages(TImageList* value) {
  QObject::disconnect(m_ImagesDestroyed);
  m_Images = value;
  if (value != nullptr)
    m_ImagesDestroyed = connect(value, &QObject::destroyed, this, [this](QObject* gone) { Notification(gone); });
  Rebuild();
}

void TqxSemaphore::SetImageChecked(int value) {
  m_ImageChecked = value;
  Rebuild();
}

void TqxSemaphore::SetImageUnChecked(int value) {
  m_ImageUnChecked = value;
  Rebuild();
}

void TqxSemaphore::SetPulse(bool value) {
  m_PulseTimer.SetEnabled(value);
  m_Pulse = value;
}

void TqxSemaphore::SetPulseDuration(std::uint32_t value) { m_PulseTimer.SetInterval(value); }

void TqxSemaphore::SetStyle3D(TqxStyle3D value) {
  if (value == m_Style3D) return;
  m_Style3D = value;
  Rebuild();
}

void TqxSemaphore::SetTransparent(bool value) {
  if (value == m_Transparent) return;
  m_Transparent = value;
  Rebuild();
}

void TqxSemaphore::SetColor3DCheck(TColor value) {
  if (value == m_Color3DCheck) return;
  m_Color3DCheck = value;
  Rebuild();
}

void TqxSemaphore::SetColor3DUnCheck(TColor value) {
  if (value == m_Color3DUnCheck) return;
  m_Color3DUnCheck = value;
  Rebuild();
}

void TqxSemaphore::SetFrame3D(bool value) {
  if (value == m_Frame3D) return;
  m_Frame3D = value;
  Rebuild();
}

void TqxSemaphore::SetDesigning(bool designing) {
  m_Designing = designing;
  update();
}

void TqxSemaphore::ShowState(bool On) {
  m_CurrentPicture = On ? &m_CheckedPicture : &m_UncheckedPicture;
  update();
}

void TqxSemaphore::Notification(QObject* component) {
  if (component == m_Images) {
    m_Images = nullptr;
    m_ImagesDestroyed = {};
  }
}

void TqxSemaphore::Rebuild() {
  m_BuiltSize = size();
  m_CheckedPicture.Release();
  m_UncheckedPicture.Release();
  if (m_Style3D != qxs3DNone) {
    Render3D(m_CheckedPicture, m_Color3DCheck);
    Render3D(m_UncheckedPicture, m_Color3DUnCheck);
  } else {
    LoadImages();
  }
  ShowState(m_Checked);
}

void TqxSemaphore::LoadImages() {
  if (m_Images == nullptr) return;
  LoadImage(m_ImageChecked, m_CheckedPicture);
  LoadImage(m_ImageUnChecked, m_UncheckedPicture);
}

void TqxSemaphore::LoadImage(int index, TqxPicture& picture) {
  // An index the list does not hold leaves the picture empty, like a negative one.
  if (index < 0 || index >= m_Images->Count()) return;
  picture.AssignAutoTransparent(m_Images->Pixmap(index).toImage(), m_Transparent);
}

void TqxSemaphore::Render3D(TqxPicture& picture, TColor colour) {
  const int w = width();
  const int h = height();
  QImage white(w, h, QImage::Format_RGB888);
  white.fill(Qt::white);
  picture.Assign(white, m_Transparent, qRgb(255, 255, 255));

  TqxGLContext context(w, h);
  if (!context.Valid()) return;

  // The colour buffer is cleared to the picture's white, so undrawn pixels stay white.
  glClearColor(1.0f, 1.0f, 1.0f, 1.0f);
  glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT);
  glViewport(0, 0, w, h);
  glEnable(GL_DEPTH_TEST);
  glEnable(GL_POINT_SMOOTH);

  glMatrixMode(GL_PROJECTION);
  glLoadIdentity();
  gluPerspective(30.0, static_cast<double>(w) / static_cast<double>(h), 1.0, 100.0);
  glMatrixMode(GL_MODELVIEW);
  glLoadIdentity();

  const GLfloat lightPosition[] = {-7.0f, 7.0f, 0.7f, 0.5f};
  const GLfloat ambient[] = {0.2f, 0.2f, 0.2f, 1.0f};
  glLightfv(GL_LIGHT0, GL_POSITION, lightPosition);
  glLightModelfv(GL_LIGHT_MODEL_AMBIENT, ambient);
  glEnable(GL_LIGHTING);
  glEnable(GL_LIGHT0);
  glColorMaterial(GL_FRONT, GL_AMBIENT_AND_DIFFUSE);
  glEnable(GL_COLOR_MATERIAL);

  glLoadIdentity();
  glTranslatef(0.0f, 0.0f, -32.0f);

  GLUquadric* quadric = gluNewQuadric();
  glColor3d((colour & 0xFF) / 255.0, ((colour >> 8) & 0xFF) / 255.0, ((colour >> 16) & 0xFF) / 255.0);
  if (OnDraw3D) {
    OnDraw3D(this);
  } else if (m_Style3D == qxs3DSphere) {
    if (quadric != nullptr) DrawSphere(quadric);
  } else if (m_Style3D == qxs3DBox) {
    DrawBox();
  }
  if (quadric != nullptr) gluDeleteQuadric(quadric);

  picture.Assign(context.Finish(), m_Transparent, qRgb(255, 255, 255));
}

void TqxSemaphore::DrawSphere(GLUquadric* quadric) {
  const double radius = m_Frame3D ? 6.0 : 8.0;
  gluSphere(quadric, radius, 64, 64);
  // The frame: a cone ring around the sphere.
  if (m_Frame3D) gluCylinder(quadric, radius + 2.0, radius - 0.1, 1.0, 64, 64);
}

void TqxSemaphore::DrawBox() {
  float a = 2.0f;
  if (m_Frame3D) {
    a = 2.0f + 3.0f + 2.0f;
    glBegin(GL_QUADS);
    glVertex3f(-a, a, 23.0f);
    glVertex3f(a, a, 23.0f);
    glVertex3f(a, -a, 23.0f);
    glVertex3f(-a, -a, 23.0f);
    glEnd();
  }
  const float s = a + 3.0f;
  glBegin(GL_TRIANGLES);
  const float corners[5][2] = {{-s, s}, {s, s}, {s, -s}, {-s, -s}, {-s, s}};
  for (int i = 0; i < 4; ++i) {
    glVertex3f(0.0f, 0.0f, -5.0f);
    glVertex3f(corners[i][0], corners[i][1], 25.0f);
    glVertex3f(corners[i + 1][0], corners[i + 1][1], 25.0f);
  }
  glEnd();
}

void TqxSemaphore::paintEvent(QPaintEvent*) { Paint(); }

void TqxSemaphore::Paint() {
  if (m_CurrentPicture == nullptr) return;
  QPainter painter(this);
  if (m_Designing && m_CurrentPicture->Empty()) {
    painter.setPen(QPen(Qt::black, 0, Qt::DotLine));
    painter.setBrush(Qt::NoBrush);
    painter.drawRect(0, 0, width() - 1, height() - 1);
  }
  QRect target = rect();
  if (m_Style3D == qxs3DNone && !m_StretchImage) {
    const int left = (width() - m_CurrentPicture->Width()) / 2;
    const int top = (height() - m_CurrentPicture->Height()) / 2;
    target = QRect(left, top, m_CurrentPicture->Width(), m_CurrentPicture->Height());
  }
  m_CurrentPicture->Draw(painter, target);
}

void TqxSemaphore::resizeEvent(QResizeEvent* event) {
  if (size() != m_BuiltSize) Rebuild();
  QWidget::resizeEvent(event);
}

// The indicator light unit: TqxSemaphore, a small LED-style control showing one of two prepared
// pictures (from an image list, or rendered off screen with OpenGL as a lit sphere or box), that
// can blink in step with all other blinking lights (TqxBlink) or pulse.
#pragma once

#include "framework/imagelist.h"
#include "framework/types.h"
#include "qx/qxblink.h"
#include "qx/qxpicture.h"
#include "framework/ttimer.h"

#include <QMetaObject>
#include <QWidget>

#include <cstdint>

class GLUquadric;

// A colour as 0x00BBGGRR (red in the low byte). The top byte is not interpreted.
using TColor = std::uint32_t;

inline constexpr TColor clBlack = 0x000000;
inline constexpr TColor clMaroon = 0x000080;
inline constexpr TColor clGreen = 0x008000;
inline constexpr TColor clOlive = 0x008080;
inline constexpr TColor clNavy = 0x800000;
inline constexpr TColor clPurple = 0x800080;
inline constexpr TColor clTeal = 0x808000;
inline constexpr TColor clGray = 0x808080;
inline constexpr TColor clSilver = 0xC0C0C0;
inline constexpr TColor clRed = 0x0000FF;
inline constexpr TColor clLime = 0x00FF00;
inline constexpr TColor clYellow = 0x00FFFF;
inline constexpr TColor clBlue = 0xFF0000;
inline constexpr TColor clFuchsia = 0xFF00FF;
inline constexpr TColor clAqua = 0xFFFF00;
inline constexpr TColor clWhite = 0xFFFFFF;

// Where the pictures come from: the image list, or an OpenGL sphere or box.
enum TqxStyle3D : int { qxs3DNone, qxs3DSphere, qxs3DBox };

// An LED-style light. Checked selects the on or the off picture; the communication components set
// it by name to show a modem line. Pictures are prepared only when a property that affects them
// changes or the control is resized; painting and blinking just draw one of them.
// Blink: shows on and off pictures in turn while checked, in step with every other blinking light.
// Pulse: the light goes out PulseDuration ms after the last write of Checked = true.
class TqxSemaphore : public QWidget {
  Q_OBJECT
  Q_PROPERTY(bool StretchImage READ StretchImage WRITE SetStretchImage)
  Q_PROPERTY(bool Blink READ Blink WRITE SetBlink)
  Q_PROPERTY(int BlinkInterval READ BlinkInterval WRITE SetBlinkInterval)
  Q_PROPERTY(bool Checked READ Checked WRITE SetChecked)
  Q_PROPERTY(TImageList* Images READ Images WRITE SetImages)
  Q_PROPERTY(int ImageChecked READ ImageChecked WRITE SetImageChecked)
  Q_PROPERTY(int ImageUnChecked READ ImageUnChecked WRITE SetImageUnChecked)
  Q_PROPERTY(bool Pulse READ Pulse WRITE SetPulse)
  Q_PROPERTY(std::uint32_t PulseDuration READ PulseDuration WRITE SetPulseDuration)
  Q_PROPERTY(TqxStyle3D Style3D READ Style3D WRITE SetStyle3D)
  Q_PROPERTY(bool Transparent READ Transparent WRITE SetTransparent)
  Q_PROPERTY(TColor Color3DCheck READ Color3DCheck WRITE SetColor3DCheck)
  Q_PROPERTY(TColor Color3DUnCheck READ Color3DUnCheck WRITE SetColor3DUnCheck)
  Q_PROPERTY(bool Frame3D READ Frame3D WRITE SetFrame3D)

public:
  explicit TqxSemaphore(QWidget* owner = nullptr);
  ~TqxSemaphore() override;

  bool StretchImage() const { return m_StretchImage; }
  void SetStretchImage(bool value);
  bool Blink() const { return m_Blink; }
  void SetBlink(bool value);
  // The interval of the one blink timer: setting it changes it for every light.
  int BlinkInterval() const;
  void SetBlinkInterval(int value);
  bool Checked() const { return m_Checked; }
  void SetChecked(bool value);
  TImageList* Images() const { return m_Images; }
  void SetImages(TImageList* value);
  int ImageChecked() const { return m_ImageChecked; }
  void SetImageChecked(int value);
  int ImageUnChecked() const { return m_ImageUnChecked; }
  void SetImageUnChecked(int value);
  bool Pulse() const { return m_Pulse; }
  void SetPulse(bool value);
  std::uint32_t PulseDuration() const { return m_PulseTimer.Interval(); }
  void SetPulseDuration(std::uint32_t value);
  TqxStyle3D Style3D() const { return m_Style3D; }
  void SetStyle3D(TqxStyle3D value);
  bool Transparent() const { return m_Transparent; }
  void SetTransparent(bool value);
  TColor Color3DCheck() const { return m_Color3DCheck; }
  void SetColor3DCheck(TColor value);
  TColor Color3DUnCheck() const { return m_Color3DUnCheck; }
  void SetColor3DUnCheck(TColor value);
  bool Frame3D() const { return m_Frame3D; }
  void SetFrame3D(bool value);

  // Replaces the built-in sphere or box: called inside Render3D with the OpenGL context prepared
  // (projection, light, model-view, colour). Assigning it renders nothing; the next rendering uses it.
  TNotifyEvent OnDraw3D;

  // Design time: an indicator without a picture shows its area as a dotted outline.
  bool IsDesigning() const { return m_Designing; }
  void SetDesigning(bool designing);

  // Shows the on picture when On, else the off picture (repainted later).
  void ShowState(bool On);

  const TqxPicture& CheckedPicture() const { return m_CheckedPicture; }
  const TqxPicture& UncheckedPicture() const { return m_UncheckedPicture; }
  // The picture that painting draws: one of the two above, or none before the first Rebuild.
  const TqxPicture* CurrentPicture() const { return m_CurrentPicture; }
  // The timer that ends a pulse; its tick writes Checked = false.
  TTimer& PulseTimer() { return m_PulseTimer; }

protected:
  void paintEvent(QPaintEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;
  // Clears Images when the image list it names is destroyed; nothing is rendered again.
  void Notification(QObject* component);

private:
  void Rebuild();
  void LoadImages();
  void LoadImage(int index, TqxPicture& picture);
  void Render3D(TqxPicture& picture, TColor colour);
  void DrawSphere(GLUquadric* quadric);
  void DrawBox();
  void Paint();

  int m_ImageChecked = 0;
  int m_ImageUnChecked = 0;
  TImageList* m_Images = nullptr;
  bool m_Checked = false;
  bool m_Blink = false;
  TTimer m_PulseTimer;
  bool m_Pulse = false;
  bool m_StretchImage = false;
  TqxStyle3D m_Style3D = qxs3DSphere;
  bool m_Transparent = true;
  TColor m_Color3DCheck = clBlue;
  TColor m_Color3DUnCheck = clRed;
  bool m_Frame3D = false;
  TqxPicture m_CheckedPicture;
  TqxPicture m_UncheckedPicture;
  const TqxPicture* m_CurrentPicture = nullptr;

  bool m_Designing = false;
  QMetaObject::Connection m_ImagesDestroyed;
  // The size the pictures were last prepared for, so a resize to the same size renders nothing.
  QSize m_BuiltSize;
};

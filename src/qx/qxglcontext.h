// TqxGLContext: an off-screen OpenGL 1.x context that draws into memory, without any display.
#pragma once

#include <QImage>

#include <vector>

struct osmesa_context;

// While it lives, the calling thread's context draws into this object's buffer, starting from the
// default state; the destructor restores that state and makes no context current. The main
// thread's context is created once and kept; another thread gets a context of its own each time. Valid() is false when no context could be created or
// made current (nothing to draw on then). The colour buffer holds RGBA bytes; the depth buffer has
// at least 32 bits.
class TqxGLContext {
public:
  TqxGLContext(int width, int height);
  ~TqxGLContext();
  TqxGLContext(const TqxGLContext&) = delete;
  TqxGLContext& operator=(const TqxGLContext&) = delete;

  bool Valid() const { return m_Current; }
  // Completes the drawing and returns it as a 24-bit image, top row first.
  QImage Finish();

private:
  osmesa_context* m_Context = nullptr;
  bool m_Owned = false;
  bool m_Current = false;
  int m_Width;
  int m_Height;
  std::vector<unsigned char> m_Buffer;
};

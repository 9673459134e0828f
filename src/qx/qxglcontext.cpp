#include "qx/qxglcontext.h"

#include <GL/osmesa.h>

#include <thread>

namespace {

OSMesaContext CreateContext() { return OSMesaCreateContextExt(OSMESA_RGBA, 32, 0, 0, nullptr); }

// The program's context, bound to each picture's buffer in turn: a fresh context per picture would
// build the same shader programs again every time. It belongs to the thread that rendered first
// (the main thread) and lives as long as the program.
struct SharedContext {
  std::thread::id owner = std::this_thread::get_id();
  OSMesaContext context = CreateContext();
};

}  // namespace

TqxGLContext::TqxGLContext(int width, int height) : m_Width(width), m_Height(height) {
  if (width <= 0 || height <= 0) return;
  static const SharedContext shared;
  if (shared.owner == std::this_thread::get_id()) {
    m_Context = shared.context;
  } else {
    m_Context = CreateContext();
    m_Owned = true;
  }
  if (m_Context == nullptr) return;
  m_Buffer.assign(static_cast<size_t>(width) * static_cast<size_t>(height) * 4, 0xFF);
  m_Current = OSMesaMakeCurrent(m_Context, m_Buffer.data(), GL_UNSIGNED_BYTE, width, height) == GL_TRUE;
  if (!m_Current) return;
  // Every rendering starts from the default state, whatever the previous drawing changed.
  glPushAttrib(GL_ALL_ATTRIB_BITS);
  glPushClientAttrib(GL_CLIENT_ALL_ATTRIB_BITS);
}

TqxGLContext::~TqxGLContext() {
  if (m_Current) {
    glPopClientAttrib();
    glPopAttrib();
    OSMesaMakeCurrent(nullptr, nullptr, GL_UNSIGNED_BYTE, 0, 0);
  }
  if (m_Owned && m_Context != nullptr) OSMesaDestroyContext(m_Context);
}

QImage TqxGLContext::Finish() {
  if (!m_Current) return {};
  glFinish();
  // The buffer's first row is the bottom one, as OpenGL counts rows.
  const QImage rgba(m_Buffer.data(), m_Width, m_Height, m_Width * 4, QImage::Format_RGBA8888);
  return rgba.convertToFormat(QImage::Format_RGB888).mirrored(false, true);
}

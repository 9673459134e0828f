// The two pictures of the form's image list: a lit and an unlit green light, 16 x 16.
#pragma once

#include <QPixmap>

// A round light in a grey ring on a transparent background: lit, a bright green centre with white
// highlights; unlit, dark green.
QPixmap LightImage(bool Lit);

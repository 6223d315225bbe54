// The pictures of the object tree, drawn by the program: 16 by 16, with a
// 32 by 32 rendering for 200% scaling.
#pragma once

#include <QIcon>

// The picture of an image kind (0 to 31; kind 16 and unknown kinds: null).
QIcon TreeImage(int nImageKind);

// The icon resource number an image kind shows (0 for none).
int TreeIconResource(int nImageKind);

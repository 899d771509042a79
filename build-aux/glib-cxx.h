/* Included first in every C++ unit (see meson.build). GLib's precondition
 * and assertion messages name the routine through G_STRFUNC, which in C++
 * is the whole signature; operators and tests expect the bare name, as C
 * code logs it. */
#pragma once
#ifdef __cplusplus
#include <glib.h>
#undef G_STRFUNC
#define G_STRFUNC (static_cast<const char *>(__func__))
#endif

#pragma once
// The product's version and web address, read by the code, the resource script and the build:
// a new release or a new address is one edit here. Plain macros, since the resource compiler
// understands nothing else.

#define KESTRO_VERSION_MAJOR 0
#define KESTRO_VERSION_MINOR 4
#define KESTRO_VERSION_PATCH 0

#define KESTRO_STRINGIFY_(x) #x
#define KESTRO_STRINGIFY(x) KESTRO_STRINGIFY_(x)
#define KESTRO_VERSION_TEXT                                                                        \
    KESTRO_STRINGIFY(KESTRO_VERSION_MAJOR)                                                         \
    "." KESTRO_STRINGIFY(KESTRO_VERSION_MINOR) "." KESTRO_STRINGIFY(KESTRO_VERSION_PATCH)
// The codec's description, as hosts list it.
#define KESTRO_DESCRIPTION "Kestro32 v" KESTRO_VERSION_TEXT

// The maker's web site, home of the help pages. The about page (about-utf8.htm, converted to
// about.htm) carries the same address in its links; a test compares the two.
#define KESTRO_WEB_SITE "https://kestro32.example.org"

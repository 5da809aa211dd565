dnl The automake 1.4 macros that GLib 1.2's configure.in calls, as far as
dnl configure itself needs them (automake 1.4 is not packaged any more).
dnl No Makefile.in is generated: the library is compiled without them.
AC_DEFUN(AM_INIT_AUTOMAKE,
[AC_REQUIRE([AC_PROG_INSTALL])dnl
AC_REQUIRE([AC_PROG_MAKE_SET])dnl
PACKAGE=[$1]
AC_SUBST(PACKAGE)dnl
VERSION=[$2]
AC_SUBST(VERSION)dnl
])
AC_DEFUN(AM_CONFIG_HEADER, [AC_CONFIG_HEADER([$1])])
AC_DEFUN(AM_MAINTAINER_MODE,
[MAINTAINER_MODE_TRUE='#'
MAINTAINER_MODE_FALSE=
MAINT='#'
AC_SUBST(MAINTAINER_MODE_TRUE)dnl
AC_SUBST(MAINTAINER_MODE_FALSE)dnl
AC_SUBST(MAINT)dnl
])
dnl gcc needs no option to accept ANSI C.
AC_DEFUN(AM_PROG_CC_STDC, [AC_REQUIRE([AC_PROG_CC])])

# Where an installation keeps its parts, relative to the install prefix. The
# build (CMakeLists.txt) and the scripts read this one file: keep it to
# NAME=value lines.
#
# The application bundle; a self-update replaces exactly this folder.
QV_BUNDLE_INSTALL_DIR=lib/quorvane/Quorvane.app
# The stand-ins and qv-run-tool of the local run and the end-to-end test
# (install component "stand-ins"), with the mail host's private library.
QV_STAND_INS_INSTALL_DIR=lib/quorvane/stand-ins

# Qt for Windows from scripts/windows/qt.sh, found in its prefix
# (TESSARY_WIN_QT) with the host's Qt tools of the same version (moc, rcc,
# uic), as Qt's own qt.toolchain.cmake would set them up.
set(QT_HOST_PATH /usr CACHE PATH "The host Qt the Windows Qt's tools come from")
set(QT_HOST_PATH_CMAKE_DIR /usr/lib/x86_64-linux-gnu/cmake CACHE PATH "")
set(Qt6HostInfo_DIR /usr/lib/x86_64-linux-gnu/cmake/Qt6HostInfo CACHE PATH "")
list(APPEND CMAKE_FIND_ROOT_PATH "${TESSARY_WIN_QT}")
list(APPEND CMAKE_PREFIX_PATH "${TESSARY_WIN_QT}")

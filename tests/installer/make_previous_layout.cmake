# The install layout of a "previous version" for the upgrade test: LAYOUT copied to OUT, with
# quillon.exe changed (bytes appended after the image, which Windows ignores) and one file the
# current layout does not have, so that an upgrade must both replace and remove.
#
#   cmake -DLAYOUT=<dist> -DOUT=<folder> -P make_previous_layout.cmake
file(REMOVE_RECURSE "${OUT}")
file(COPY "${LAYOUT}/" DESTINATION "${OUT}")
file(APPEND "${OUT}/quillon.exe" "previous version")
file(WRITE "${OUT}/data/previous-only.dat" "shipped by the previous version only\n")

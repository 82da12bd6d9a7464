#!/bin/sh
# Fails when an image for target RAM still holds an absolute address of
# itself: a relocation of an absolute type outside the debug sections (the
# image is linked with --emit-relocs). PC-relative ones are fine.
# Usage: check_pic.sh READELF IMAGE
readelf=$1
image=$2
absolute=$("$readelf" -rW "$image" | awk '
    /^Relocation section/ { debug = ($3 ~ /debug/) ; next }
    !debug && $3 ~ /^R_ARM_(ABS|THM_MOVW_ABS|THM_MOVT_ABS|MOVW_ABS|MOVT_ABS|GOT|TARGET1)/ { print }')
if [ -n "$absolute" ]; then
    echo "$image: not position independent:" >&2
    echo "$absolute" >&2
    exit 1
fi

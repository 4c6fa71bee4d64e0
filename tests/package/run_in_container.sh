#!/bin/sh
# Runs the image GAMESERVER_IMAGE in the foreground as the container
# GAMESERVER_CONTAINER, with the podman options in GAMESERVER_CONTAINER_OPTS
# (blank-separated) and the server's arguments given: the end-to-end
# harness's server command for image_test.cpp.
# shellcheck disable=SC2086 # the options are words
exec podman run --rm --name "$GAMESERVER_CONTAINER" $GAMESERVER_CONTAINER_OPTS "$GAMESERVER_IMAGE" "$@"

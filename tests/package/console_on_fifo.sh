#!/bin/sh
# Starts the packaged server with the arguments given, its standard input on
# the console FIFO opened for reading and writing, as systemd's socket unit
# hands it over: the server never sees the end of its input when a writer
# closes the FIFO.
exec "$GAMESERVER_PACKAGED_BIN" "$@" <>"$GAMESERVER_CONSOLE_FIFO"

#!/bin/sh
# Starts the packaged server with the arguments given, its standard input on
# the console FIFO as systemd's socket unit hands it over: opened for reading
# and writing (the server never sees the end of its input when a writer
# closes the FIFO) and non-blocking, as systemd opens its FIFOs.
exec perl -e 'use Fcntl; sysopen(my $fifo, $ENV{GAMESERVER_CONSOLE_FIFO}, O_RDWR | O_NONBLOCK) or die "$!\n";
  open(STDIN, "<&", $fifo) or die "$!\n"; close($fifo); exec { $ARGV[0] } @ARGV or die "$!\n"' \
  "$GAMESERVER_PACKAGED_BIN" "$@"

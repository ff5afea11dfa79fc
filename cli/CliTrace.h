#pragma once
// The lines of -v/--verbose and --trace: one per datagram that velnor-tftp sends to the router or takes
// from it. Texts only, no I/O. The router password inside a request name is shown as "***", and text
// that a router controls (an ERROR message, option values) is made safe for a terminal.

#include <cstdint>
#include <span>
#include <string>

// E.g. "+0.012s sent RRQ name=config2/*** mode=netascii tsize=0 len=36", "+0.015s recv DATA block=1
// len=516", "+0.020s recv ERROR code=2 text=\"Access violation\" len=21". Without a line end.
std::string DescribeDatagram(bool bSent, std::span<const std::uint8_t> datagram, double dSeconds);

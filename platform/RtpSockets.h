#pragma once
// The socket seam of the RTSP server's media side: the pair of UDP sockets of one unicast RTP
// session (RTP on an even port, RTCP on the next one, both connected to the client's ports),
// batched datagram sends that never wait, and a second handle on a connection, so the thread
// that sends a session's pictures holds the socket open for as long as it writes to it.
//
// Free functions without shared state; any thread may call them on handles it uses.
#include <sys/types.h>
#include <sys/uio.h>

#include <cstddef>
#include <cstdint>
#include <string>

namespace platform {

struct UdpPair {
  int rtp = -1, rtcp = -1;
  uint16_t rtpPort = 0;  // ours; rtcpPort is rtpPort + 1
};

// Binds two consecutive ports (the first even) on localIp and connects them to peerIp's
// rtpPort and rtcpPort. 0, or errno with both handles closed.
int openUdpPair(const std::string& localIp, const std::string& peerIp, uint16_t peerRtpPort,
                uint16_t peerRtcpPort, UdpPair* out);
void closeUdpPair(UdpPair* pair);

// Sends count datagrams on a connected socket without waiting (sendmmsg, MSG_DONTWAIT):
// datagram i is the piecesPer[i] pieces that follow those of datagram i - 1. The number of
// datagrams sent, or -1 with errno (EAGAIN: the socket is full).
int sendDatagramsNow(int fd, const iovec* pieces, const int* piecesPer, int count);

// One datagram without waiting; the system call's result.
ssize_t sendDatagramNow(int fd, const void* data, size_t len);

// Takes every datagram waiting on the socket; the count taken.
int drainDatagrams(int fd);

// A second handle on the same socket (close-on-exec); -1 with errno on failure.
int duplicateHandle(int fd);
// shutdown(SHUT_WR): the peer reads what was sent, then the end of the stream.
int shutdownSending(int fd);

}  // namespace platform

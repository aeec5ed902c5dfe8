#pragma once
// The channels' pictures through the HTTPS port itself: a browser refuses plain-HTTP pictures
// on an HTTPS page, so over HTTPS the status report points its pictures here instead of at the
// channels' endpoints (or cameras).
//
//   "/picture/<key>.jpg"           the channel's current picture (as "/record/current.jpg")
//   "/stream/<key>.jpg?fps=<n>"    a JPEG push stream of the channel's pictures, paced by the
//                                  fps rule of the channel endpoint's own stream
//
// <key> is the channel's form key (fieldPrefix, "0_3_"). The answers are built on the
// configuration thread (channelPictureAnswer, under g_cnlUseLock). What may wait is left to
// the connection thread (base/ConfAnswer.h): the wait for a picture, under a lease that keeps
// the channel alive, and the stream, whose consumer is made here (so the channel waits for it)
// and is handed the connection and started there; it sends the head itself.
#include <string>

class CHTTPSocket;
class CVideoCnl;
struct ConfAnswer;

// The URL of a channel's picture on the HTTPS port: the stream at 2 pictures per second when
// live, else the current picture.
std::string tlsPictureUrl(const std::string& key, bool live);
// True for the paths above.
bool isTlsPicturePath(const std::string& path);
// The running channel such a path names; nullptr when none does.
CVideoCnl* tlsPictureChannel(const std::string& path);
// The answer for one of those paths: 404 for a key of no running channel, the current
// picture (or the no-picture image), or the stream's head with its consumer; a channel that
// already has too many viewers gets no answer at all, like its endpoint.
void channelPictureAnswer(CHTTPSocket& conn, ConfAnswer& out);

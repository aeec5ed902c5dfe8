#pragma once
// The recordings pages of the configuration server, behind its login:
//   /recordings                      every channel with a recording tree, one link per day
//   /recordings?c=SECTION&day=D      a day: timeline of recorded spans and the events' pictures
//   /recordings/play?c=&from=T       the play page (stream, shown time, speeds, timeline)
//   /recordings/picture.jpg?c=&t=T   the recorded picture nearest to T, its bytes unchanged
//   /recordings/play.jpg?c=&from=T[&to=T][&speed=1|2|4|8]   push stream (a job)
//   /recordings/events.json?c=&from=T&to=T                   the events as JSON (a job)
//   /recordings/export?c=&from=T&to=T&format=mkv|avi|zip     a download (a job)
// A channel is chosen by its section name among the running channels, never by a path: the
// tree read is the one the channel's settings name. Bad input gets a short 400 or 404 answer,
// a full set of jobs 503.
//
// Configuration thread only, holding g_cnlUseLock (the pages read channel objects).
#include <string>

class CHTTPSocket;
class RecordingJobs;
struct ConfAnswer;

// True for "/recordings" and every path below "/recordings/".
bool isRecordingsPath(const std::string& path);
// The answer to an authorised request of a recordings path.
void recordingsAnswer(CHTTPSocket& conn, RecordingJobs& jobs, ConfAnswer& out);

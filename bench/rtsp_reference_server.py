#!/usr/bin/python3
# The reference server of bench_rtsp: GStreamer's RTSP server (gst-rtsp-server) serving the same
# JPEG pictures as ours, as a live camera does: one shared pipeline for every viewer, the
# pictures pushed into it in turn at the given rate, each stamped on arrival.
#   rtsp_reference_server.py FOLDER FPS PORT WIDTH HEIGHT   (pictures FOLDER/pic000.jpg ...)
import glob, sys, time
import gi
gi.require_version('Gst', '1.0')
gi.require_version('GstRtspServer', '1.0')
from gi.repository import GLib, Gst, GstRtspServer

folder, fps, port, width, height = sys.argv[1], int(sys.argv[2]), sys.argv[3], sys.argv[4], sys.argv[5]
Gst.init(None)
pictures = [open(f, 'rb').read() for f in sorted(glob.glob(folder + '/pic*.jpg'))]
sources = []

def push():
    # On an absolute schedule, so the rate does not drift with the timer's lateness.
    push.due += 1.0 / fps
    for src in sources:
        src.emit('push-buffer', Gst.Buffer.new_wrapped(pictures[push.count % len(pictures)]))
    push.count += 1
    GLib.timeout_add(max(0, int((push.due - time.monotonic()) * 1000)), push)
    return False
push.due, push.count = time.monotonic(), 0

def configure(factory, media):
    sources.append(media.get_element().get_child_by_name('src'))

factory = GstRtspServer.RTSPMediaFactory()
factory.set_launch('( appsrc name=src is-live=true do-timestamp=true format=time '
                   'caps=image/jpeg,width=%s,height=%s,framerate=%d/1 ! rtpjpegpay name=pay0 pt=26 )'
                   % (width, height, fps))
factory.set_shared(True)
factory.connect('media-configure', configure)
server = GstRtspServer.RTSPServer()
server.set_address('127.0.0.1')
server.set_service(port)
server.get_mount_points().add_factory('/cam', factory)
server.attach(None)
GLib.timeout_add(0, push)
print('ready', server.get_bound_port(), flush=True)
GLib.MainLoop().run()

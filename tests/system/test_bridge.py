"""Viewers reach the camera through the stand-in bridge server, end to end."""
from conftest import DEMO_USER, ffprobe, http_get, record_video


def test_live_video_and_snapshot_through_the_bridge(live, tmp_path):
    # The login made the account's camera id this camera's.
    cam_id = live.camera.service.users()[DEMO_USER]["devices"][0]["camId"]
    assert live.camera.wait_for_log(f"GET /nic/REGISTER?hostname={cam_id}&port=")
    video = record_video(f"http://127.0.0.1:{live.bridge_viewer}/vdata.flv", tmp_path / "bridged.flv", 3)
    assert (video["codec_name"], video["width"], video["height"]) == ("h264", 640, 480)

    head, _, body = http_get(live.bridge_viewer, "/snapshot.htm", 5).partition(b"\r\n\r\n")
    assert head.startswith(b"HTTP/1.1 200 OK") and body[:2] == b"\xff\xd8"
    (tmp_path / "snap.jpg").write_bytes(body)
    (stream,) = ffprobe(str(tmp_path / "snap.jpg"))
    assert (stream["codec_name"], stream["width"], stream["height"]) == ("mjpeg", 640, 480)

"""Live video, 3GP records and snapshots over the camera's HTTP server, end to end."""
import re

from conftest import ffprobe, http_get, record_video


def test_live_flv_snapshots_and_3gp_records(live, tmp_path):
    video = record_video(f"http://127.0.0.1:{live.port}/vdata.flv", tmp_path / "live.flv", 5, "-count_frames")
    assert (video["codec_name"], video["width"], video["height"]) == ("h264", 640, 480)
    assert int(video["nb_read_frames"]) >= 40

    for query, size in (("", (640, 480)), ("?qcif", (176, 144))):
        head, _, body = http_get(live.port, "/snapshot.htm" + query, 10).partition(b"\r\n\r\n")
        assert head.startswith(b"HTTP/1.1 200 OK")
        assert int(re.search(rb"Content-Length: (\d+)", head).group(1)) == len(body)
        jpg = tmp_path / f"snap{len(query)}.jpg"
        jpg.write_bytes(body)
        (stream,) = ffprobe(str(jpg))
        assert (stream["width"], stream["height"]) == size
    assert "qcif=1" in live.camera.log

    raw, payload, pos = http_get(live.port, "/vdata.rtp", 5), b"", 0
    while pos + 4 <= len(raw):  # records of a little-endian length and that many bytes
        n = int.from_bytes(raw[pos:pos + 4], "little")
        if pos + 4 + n > len(raw):
            break
        payload += raw[pos + 4:pos + 4 + n]
        pos += 4 + n
    assert payload, raw[:64]
    (tmp_path / "mobile.3gp").write_bytes(payload)
    video = [s for s in ffprobe(str(tmp_path / "mobile.3gp")) if s["codec_type"] == "video"]
    assert video and (video[0]["width"], video[0]["height"]) == (352, 288)

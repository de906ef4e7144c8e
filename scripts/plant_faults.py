#!/usr/bin/env python3
"""The table of planted faults for scripts/plant-faults.sh, and how to apply one.

Each fault is one exact text substitution in one product file. A fault may list several
places (file, old, new); the first whose old text stands exactly once in its file is used,
so the table survives code that moved into a shared helper. `tests` is the ctest -R regex
of the tests expected to notice, `targets` the build targets they need.

  plant_faults.py list                 names, one a line
  plant_faults.py show NAME            "<tests regex> <targets...>"
  plant_faults.py files NAME           the files it may change
  plant_faults.py apply NAME ROOT      applies it under ROOT, prints the changed file
  plant_faults.py check ROOT           which place each fault would use under ROOT
"""
import os
import sys

SYS = "VantorHomeCamera vt_converter_program stackresolve"

FAULTS = [
    # name, [(file, old, new), ...], tests regex, targets
    ("databuffer-append-capacity",
     [("net/DataBuffer.cpp", "(m_pWrite - m_pBase) + length + 1 > m_nCapacity", "(m_pWrite - m_pBase) + length > m_nCapacity")],
     "^net_test$", "net_test"),
    ("messagebuffer-length-byte-order",
     [("net/MessageBuffer.cpp", "static_cast<uint32_t>(b[0]) | static_cast<uint32_t>(b[1]) << 8",
       "static_cast<uint32_t>(b[0]) << 8 | static_cast<uint32_t>(b[1])"),
      ("platform/ByteOrder.h", "return uint32_t{p[0]} | (uint32_t{p[1]} << 8)", "return (uint32_t{p[0]} << 8) | uint32_t{p[1]}")],
     "^net_test$", "net_test"),
    ("session-reuse-rest-skipped",
     [("net/SessionRegistry.cpp", "if (elapsed < kReuseRestSeconds) return nullptr;", "if (elapsed + 1 < kReuseRestSeconds) return nullptr;")],
     "^net_test$", "net_test"),
    ("session-idle-sweep-boundary",
     [("net/SessionRegistry.cpp", "SecondsSinceTimestamp()) > m_nIdleLimit)", "SecondsSinceTimestamp()) >= m_nIdleLimit)")],
     "^net_test$", "net_test"),
    ("completion-missing-unlock",
     [("platform/completion/CompletionPort.cpp",
       "std::lock_guard<std::mutex> guard(m_readyLock);\n    wake = EnqueueReady(std::move(lane));",
       "m_readyLock.lock();\n    wake = EnqueueReady(std::move(lane));")],
     "^platform_completion_test$", "platform_completion_test"),
    ("flv-tag-size-byte-order",
     [("media/FLVStreamDataBuffer.cpp", "return (uint32_t{p[0]} << 16) | (uint32_t{p[1]} << 8) | p[2];",
       "return p[0] | (uint32_t{p[1]} << 8) | (uint32_t{p[2]} << 16);"),
      ("platform/ByteOrder.h", "return (uint32_t{p[0]} << 16) | (uint32_t{p[1]} << 8) | p[2];",
       "return p[0] | (uint32_t{p[1]} << 8) | (uint32_t{p[2]} << 16);")],
     "^media_stream_buffer_test$", "media_stream_buffer_test"),
    ("flv-keyframe-bit",
     [("media/FLVStreamDataBuffer.cpp", "(p[kTagHeaderSize] & 0x10) != 0", "(p[kTagHeaderSize] & 0x20) != 0")],
     "^media_stream_buffer_test$", "media_stream_buffer_test"),
    ("packet-length-field-off-by-one",
     [("media/PacketStreamDataBuffer.cpp", "const int64_t need = 4 - seen;", "const int64_t need = 3 - seen;")],
     "^media_stream_buffer_test$", "media_stream_buffer_test"),
    ("audio-tag-size-off-by-one",
     [("media/FileDispatcher.cpp", "PutBigEndian24(m_audioTagHeader + 1, dataSize);", "PutBigEndian24(m_audioTagHeader + 1, dataSize + 1);"),
      ("media/FileDispatcher.cpp", "WriteBE24(m_audioTagHeader + 1, dataSize);", "WriteBE24(m_audioTagHeader + 1, dataSize + 1);")],
     "^media_file_dispatcher_test$", "media_file_dispatcher_test"),
    ("http-wrong-status-code",
     [("media/HttpRequest.cpp", '"HTTP/1.1 200 OK\\r\\nConnection: close', '"HTTP/1.1 202 OK\\r\\nConnection: close')],
     "^media_http_request_test$", "media_http_request_test"),
    ("http-content-length-cut",
     [("media/HttpRequest.cpp", "response.replace(placeholder, 4, digits, 4);", "response.replace(placeholder, 4, digits, 3);")],
     "^media_http_request_test$", "media_http_request_test"),
    ("http-param-ignores-ampersand",
     [("media/HttpRequest.cpp", "value[n] != ' ' &&\n         value[n] != '&')", "value[n] != ' ')")],
     "^media_http_request_test$", "media_http_request_test"),
    ("motion-threshold-comparison",
     [("capture/MotionDetector.cpp", "if (perMille <= kTriggerPerMille) return 0;", "if (perMille < kTriggerPerMille) return 0;")],
     "^capture_motion_detector_test$", "capture_motion_detector_test"),
    ("motion-alarm-spacing",
     [("capture/MotionDetector.cpp", "<= kAlarmSpacingMs) return 0;", "< kAlarmSpacingMs) return 0;")],
     "^capture_motion_detector_test$", "capture_motion_detector_test"),
    ("motion-change-level",
     [("capture/MotionDetector.cpp", ">= kChangeLevel ? 1 : 0", "> kChangeLevel ? 1 : 0")],
     "^capture_motion_detector_test$", "capture_motion_detector_test"),
    ("capture-stats-first-tick",
     [("capture/CaptureStats.cpp", "== 0 && audioBlocks.load", "== 0 || audioBlocks.load")],
     "^capture_capture_stats_test$", "capture_capture_stats_test"),
    ("yuy2-clamp-off-by-one",
     [("capture/Yuy2ToBgr24.cpp", "(v > 255 ? 255 : v)", "(v > 254 ? 254 : v)")],
     "^capture_preview_renderer_test$", "capture_preview_renderer_test"),
    ("xml-escape-ampersand",
     [("infra/XmlDocument.cpp", 'out += "&amp;";', 'out += "&";')],
     "^infra_XmlDocument_test$", "infra_XmlDocument_test"),
    ("md5-output-byte-order",
     [("infra/MD5Digest.cpp", "out[j] = static_cast<unsigned char>(in[i] & 0xff);",
       "out[j] = static_cast<unsigned char>((in[i] >> 24) & 0xff);"),
      ("platform/ByteOrder.h", "p[0] = static_cast<uint8_t>(value);\n  p[1]", "p[0] = static_cast<uint8_t>(value >> 24);\n  p[1]")],
     "^infra_md5_digest_test$", "infra_md5_digest_test"),
    ("log-error-code-dropped",
     [("infra/Logger.cpp", "WritePiece(code, -1);", "")],
     "^infra_logger_test$", "infra_logger_test"),
    ("log-level-threshold",
     [("infra/Logger.cpp", "if (level < m_levelThreshold) return;", "if (level <= m_levelThreshold) return;")],
     "^infra_logger_test$", "infra_logger_test"),
    ("log-rotation-boundary",
     [("infra/Logger.cpp", "if (size >= limit) {", "if (size > limit) {")],
     "^infra_logger_test$", "infra_logger_test"),
    ("profile-list-overflow",
     [("platform/Profile.cpp", "if (pos + item.size() + 2 > size) {", "if (pos + item.size() + 1 > size) {")],
     "^platform_profile_test$", "platform_profile_test"),
    ("profile-struct-checksum-bit",
     [("platform/Profile.cpp", "if ((sum & 0xFFu) != bytes[size]) return false;", "if ((sum & 0x7Fu) != (bytes[size] & 0x7Fu)) return false;")],
     "^platform_profile_test$", "platform_profile_test"),
    ("registry-equals-unescaped",
     [("platform/RegistryKey.cpp", "case '=': out += \"\\\\=\"; break;", "case '=': out += \"=\"; break;")],
     "^(platform_platform_basics_test|app_settings_test)$", "platform_platform_basics_test app_settings_test"),
    ("tempname-prefix-length",
     [("platform/TempName.cpp", "prefix.substr(0, 3)", "prefix.substr(0, 4)")],
     "^platform_platform_basics_test$", "platform_platform_basics_test"),
    ("capture-option-range",
     [("platform/capture/CaptureSelection.cpp", "if (result < low || result > high) return false;", "if (result < low || result > high + 1) return false;")],
     "^platform_capture_test$", "platform_capture_test"),
    ("server-address-length",
     [("camera_config/CameraInfo.cpp", "if (length == 0 || length > 31) return false;", "if (length == 0 || length > 32) return false;")],
     "^camera_config_CameraInfoMgr_test$", "camera_config_CameraInfoMgr_test"),
    ("alarm-toggle-sticks",
     [("camera_config/CameraInfo.cpp", "m_nAlarmStatus.fetch_xor(1);", "m_nAlarmStatus.store(1);")],
     "^(camera_config_CameraInfoMgr_test|app_main_dialog_test)$", "camera_config_CameraInfoMgr_test app_main_dialog_test"),
    ("port-mapping-address-order",
     [("remote/PortMapping.cpp", "address >> 24, (address >> 16) & 0xFF, (address >> 8) & 0xFF,\n                address & 0xFF,",
       "address & 0xFF, (address >> 8) & 0xFF, (address >> 16) & 0xFF,\n                address >> 24,")],
     "^remote_PortMapping_test$", "remote_PortMapping_test"),
    ("serial-id-bytes-unswapped",
     [("remote/HostIdentity.cpp", "{byteAt(i + 1), byteAt(i)}", "{byteAt(i), byteAt(i + 1)}")],
     "^remote_HostIdentity_test$", "remote_HostIdentity_test"),
    ("converter-greeting-byte-order",
     [("converter/ConverterLink.cpp", "out[0] = static_cast<uint8_t>(key);", "out[0] = static_cast<uint8_t>(key >> 24);"),
      ("converter/ConverterLink.cpp", "WriteLE32(out, key);", "WriteBE32(out, key);")],
     "^converter_", "converter_test vt_converter_program"),
    ("converter-send-retry-skipped",
     [("converter/ConverterLink.cpp", "if (ready < 0 && errno != EINTR) return false;\n      continue;",
       "if (ready < 0 && errno != EINTR) return false;\n      return false;")],
     "^converter_", "converter_test vt_converter_program"),
    ("stream-output-length-byte-order",
     [("converter/StreamOutput.cpp", "m_pending[0] = static_cast<uint8_t>(n);", "m_pending[0] = static_cast<uint8_t>(n >> 8);"),
      ("converter/StreamOutput.cpp", "WriteLE32(m_pending.data(), static_cast<uint32_t>(length));",
       "WriteBE32(m_pending.data(), static_cast<uint32_t>(length));")],
     "^converter_", "converter_test vt_converter_program"),
    ("stackresolve-short-hex",
     [("crash/stackresolve/HexToken.cpp", "if (text.size() < 3) return 0;", "if (text.size() < 2) return 0;")],
     "^crash_stackresolve_", "crash_stackresolve_rules_test crash_stackresolve_run_test stackresolve"),
    ("stackresolve-lowercase-g",
     [("crash/stackresolve/HexToken.cpp", "return c == 'G' || c == 'g';", "return c == 'G';")],
     "^crash_stackresolve_", "crash_stackresolve_rules_test crash_stackresolve_run_test stackresolve"),
    ("login-digest-length",
     [("app/RegistrySettings.cpp", "std::strlen(g_settings.passwordDigest) == 32 ? 1 : 0", "std::strlen(g_settings.passwordDigest) >= 31 ? 1 : 0")],
     "^app_settings_test$", "app_settings_test"),
    ("max-channel-default",
     [("app/RegistrySettings.cpp", "== 4 ? value : 10;", "== 4 ? value : 9;")],
     "^app_settings_test$", "app_settings_test"),
    # media/ and net/: request reader, viewer queue, snapshot worker, socket send queue
    ("request-reader-full-buffer",
     [("media/RequestReader.cpp", "extent.kind = length >= capacity ? RequestExtent::kTooLarge", "extent.kind = length > capacity ? RequestExtent::kTooLarge")],
     "^media_request_rules_test$", "media_request_rules_test"),
    ("viewer-queue-lag-boundary",
     [("media/ViewerQueue.cpp", "stalledMs >= limits.lagMs", "stalledMs > limits.lagMs")],
     "^media_snapshot_worker_test$", "media_snapshot_worker_test"),
    ("snapshot-joins-other-size",
     [("media/SnapshotWorker.cpp", "m_batchChannel == channel && m_batchSmall == small) {", "m_batchChannel == channel) {")],
     "^media_snapshot_worker_test$", "media_snapshot_worker_test"),
    ("socket-close-before-last-send",
     [("net/IOCPSocket.cpp", "if (m_bClosing.load() && m_nPending.load() == 0) {", "if (m_bClosing.load() && m_nPending.load() <= 1) {")],
     "^net_test$", "net_test"),
    # capture and converter (undelivered-clip spool, converter command line)
    ("spool-budget-boundary",
     [("capture/UndeliveredSpool.cpp", "if (total + size <= m_budget) break;", "if (total + size < m_budget) break;")],
     "^capture_undelivered_spool_test$", "capture_undelivered_spool_test"),
    ("spool-drops-newest",
     [("capture/UndeliveredSpool.cpp", "a.mtimeNs != b.mtimeNs ? a.mtimeNs < b.mtimeNs", "a.mtimeNs != b.mtimeNs ? a.mtimeNs > b.mtimeNs")],
     "^capture_undelivered_spool_test$", "capture_undelivered_spool_test"),
    ("converter-port-zero",
     [("converter/ConverterCommand.cpp", "ParseInt(rest.substr(colon + 1), 1, 65535, &p)", "ParseInt(rest.substr(colon + 1), 0, 65535, &p)")],
     "^converter_test$", "converter_test"),
    # Crash tools: stackresolve's 64-bit words, the default script's stack log, Sentrel's box fallback.
    ("stackresolve-64bit-words-truncated",
     [("crash/stackresolve/CommandScript.cpp", "wordDigits > 8 ? HexToUInt64(token) : HexToUInt32(token)", "HexToUInt32(token)")],
     "^crash_(stackresolve_|plugin_test$)", "crash_stackresolve_rules_test crash_stackresolve_run_test stackresolve crash_plugin_test"),
    ("crashkit-module-start-last-mapping",
     [("crash/plugin/Crashkit.sh", "if (!(path in first)) { first[path] = range[1]; order[++count] = path }",
       "if (!(path in first)) order[++count] = path; first[path] = range[1]")],
     "^crash_plugin_test$", "crash_plugin_test CrashkitPlugin crash_fault_host stackresolve"),
    ("sentrel-box-no-offscreen-fallback",
     [("crash/watchdog/ErrorBox.cpp", '"xcb;offscreen"', '"xcb"')],
     "^crash_watchdog_test$", "crash_watchdog_test Sentrel crash_fault_host"),
    # remote, update: FTP client, bridge, web-service requests, live update
    ("ftp-user-reply-code",
     [("remote/FtpClient.cpp", 'if (FtpSendCommand(s, "USER", ftp.userName) != 3) {', 'if (FtpSendCommand(s, "USER", ftp.userName) > 3) {')],
     "^remote_FtpClient_test$", "remote_FtpClient_test"),
    ("ftp-store-retry-skipped",
     [("remote/FtpClient.cpp", "if (result == 0 || counter >= kAttempts) break;", "if (result <= 0 || counter >= kAttempts) break;")],
     "^remote_FtpClient_test$", "remote_FtpClient_test"),
    ("bridge-unterminated-1023-kept",
     [("remote/HttpBridgeMessages.cpp", "if (static_cast<int>(length) >= kBridgeMaxHeld) return 0;",
       "if (static_cast<int>(length) > kBridgeMaxHeld) return 0;")],
     "^remote_HttpBridgeMessages_test$", "remote_HttpBridgeMessages_test"),
    ("bridge-answer-keeps-beat-wait",
     [("remote/HttpBridge.cpp", "      idleSeconds = kIdleSeconds;\n      held = ParseBridgeMessages", "      held = ParseBridgeMessages")],
     "^remote_HttpBridge_test$", "remote_HttpBridge_test"),
    ("webservice-result-outside-element",
     [("remote/WebCamServiceHttpRequestSocket.cpp", "std::strstr(element, rule.rows[i].text)", "std::strstr(text, rule.rows[i].text)")],
     "^remote_WebService_test$", "remote_WebService_test"),
    ("update-newer-local-replaced",
     [("update/UpdateList.cpp", "if (local < wanted) return true;", "if (local != wanted) return true;")],
     "^update_update_list_test$", "update_update_list_test"),
    ("update-backslash-leaves-folder",
     [("update/LiveUpdate.cpp", 'name.find_first_of("/\\\\", begin)', 'name.find_first_of("/", begin)')],
     "^update_live_update_test$", "update_live_update_test"),
    # platform, infra, camera_config: completion hand-off, atomic writer, config.ini lookup, tick seam
    ("completion-busy-lane-kept",
     [("platform/completion/CompletionPort.cpp", "if (t_localLanes != nullptr && !t_busy) t_localLanes->push_back(",
       "if (t_localLanes != nullptr) t_localLanes->push_back(")],
     "^platform_completion_test$", "platform_completion_test"),
    ("atomic-file-mode-reset",
     [("platform/AtomicFile.cpp", "fchmod(fd, stat(path.c_str(), &old)", "fchmod(fd, stat(temp.c_str(), &old)")],
     "^infra_XmlDocument_test$", "infra_XmlDocument_test"),
    ("config-ini-missing-slash",
     [("infra/ConfigIni.cpp", 'exeDir + "/config.ini"', 'exeDir + "config.ini"')],
     "^infra_logger_test$", "infra_logger_test"),
    ("tick-frozen-advance-lost",
     [("platform/Tick.cpp", "if (g_frozen.load(std::memory_order_acquire)) g_frozenTick.fetch_add(ms);\n  else g_offset.fetch_add(ms);",
       "g_offset.fetch_add(ms);")],
     "^platform_completion_test$", "platform_completion_test"),
    # a converter that rests while no phone watches
    ("rest-stop-keeps-parser",
     [("media/StreamConvertor.cpp", "  if (m_pStream != nullptr) m_pStream->ResetParser();\n}\n\nint CStreamConvertor::ConvertSourceAudioData",
       "}\n\nint CStreamConvertor::ConvertSourceAudioData")],
     "^media_convertor_session_test$", "media_convertor_session_test"),
    ("rest-late-converter-kept",
     [("media/StreamConvertor.cpp", "    UnregisterKeys();  // a converter still on its way in is refused when it greets\n", "")],
     "^media_convertor_session_test$", "media_convertor_session_test"),
    ("window-shown-without-screen",
     [("framework/DialogQt.cpp", "  if (!framework::HasScreen() && command != SW_HIDE) return;\n", "")],
     "^app_main_dialog_test$", "app_main_dialog_test"),
    ("preview-cover-ignored",
     [("framework/DialogQt.cpp", "          cover->geometry().contains(widget->geometry()))\n        seen = false;",
       "          cover->geometry().contains(widget->geometry()))\n        seen = seen;")],
     "^app_video_view_seen_test$", "app_video_view_seen_test"),
    ("preview-seen-when-minimised",
     [("framework/DialogQt.cpp", "dialog->isVisible() && !dialog->isMinimized() &&", "dialog->isVisible() &&")],
     "^app_video_view_seen_test$", "app_video_view_seen_test"),
    ("rest-wakes-while-stopping",
     [("media/StreamConvertor.cpp", "  if (g_convertorsStopping.load()) return m_bResting.load();", "")],
     "^media_convertor_session_test$", "media_convertor_session_test"),
]


def find(name):
    for row in FAULTS:
        if row[0] == name:
            return row
    sys.exit(f"no fault named {name}")


def place(row, root):
    for rel, old, new in row[1]:
        path = os.path.join(root, rel)
        if os.path.exists(path):
            with open(path, encoding="utf-8") as f:
                if f.read().count(old) == 1:
                    return rel
    return None


def main():
    if len(sys.argv) >= 2 and sys.argv[1] == "list":
        for row in FAULTS:
            print(row[0])
        return
    if len(sys.argv) == 3 and sys.argv[1] == "show":
        row = find(sys.argv[2])
        print(row[2], row[3])
        return
    if len(sys.argv) == 3 and sys.argv[1] == "files":
        print(" ".join(sorted({p[0] for p in find(sys.argv[2])[1]})))
        return
    if len(sys.argv) == 3 and sys.argv[1] == "check":
        for row in FAULTS:
            print(f"{row[0]:34} {place(row, sys.argv[2]) or 'NOT FOUND'}")
        return
    if len(sys.argv) == 4 and sys.argv[1] == "apply":
        row = find(sys.argv[2])
        for rel, old, new in row[1]:
            path = os.path.join(sys.argv[3], rel)
            if not os.path.exists(path):
                continue
            with open(path, encoding="utf-8") as f:
                text = f.read()
            if text.count(old) != 1:
                continue
            with open(path, "w", encoding="utf-8") as f:
                f.write(text.replace(old, new))
            print(rel)
            return
        sys.exit(2)
    sys.exit(__doc__)


if __name__ == "__main__":
    main()

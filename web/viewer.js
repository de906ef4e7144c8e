'use strict';
// The camera's browser viewer. Every address is relative to the page, so the page works the
// same when opened through a relay that serves the camera below a path of its own.

(function () {
  const $ = (id) => document.getElementById(id);
  const video = $('video');
  const fallback = $('fallback');
  const message = $('message');

  const RETRY_MS = 3000;
  const STATUS_POLL_MS = 5000;
  // The settings requests take values as they are, up to 31 bytes, ended by "&" or a space.
  const SETTING_BYTES = 31;

  function show(element, text) {
    element.textContent = text || '';
    element.hidden = !text;
  }

  async function request(path, options) {
    const response = await fetch(path, Object.assign({ cache: 'no-store' }, options));
    if (response.status === 401) throw new Error('需要管理员密码');
    if (!response.ok) throw new Error('摄像头回答 ' + response.status);
    return response;
  }

  // "ALARM_STATUS=1&AUDIO_ENABLE=0" and the like.
  function parseFields(text) {
    const fields = {};
    for (const pair of text.trim().split('&')) {
      const at = pair.indexOf('=');
      if (at > 0) fields[pair.slice(0, at)] = pair.slice(at + 1);
    }
    return fields;
  }

  // ---- armed and sound state ----
  const armedButton = $('armed-button');
  const soundButton = $('sound-button');
  const statusMessage = $('status-message');
  let state = null;

  function showState(text) {
    const fields = parseFields(text);
    const armed = Number(fields.ALARM_STATUS) !== 0;
    const sound = Number(fields.AUDIO_ENABLE) !== 0;
    state = { armed, sound };
    $('armed-state').textContent = armed ? '已布防' : '未布防';
    $('armed-state').className = armed ? 'on' : 'off';
    armedButton.textContent = armed ? '撤防' : '布防';
    $('sound-state').textContent = sound ? '开' : '关';
    $('sound-state').className = sound ? 'on' : 'off';
    soundButton.textContent = sound ? '关闭声音' : '打开声音';
    armedButton.disabled = false;
    soundButton.disabled = false;
  }

  async function refreshState(path) {
    try {
      const response = await request(path || 'schedule_setup.html');
      showState(await response.text());
      show(statusMessage, '');
    } catch (error) {
      show(statusMessage, '无法读取摄像头状态：' + error.message);
    }
  }

  armedButton.addEventListener('click', () => {
    if (!state) return;
    armedButton.disabled = true;
    refreshState('schedule_setup.html?method=setAlarmStatus&ALARM_STATUS=' + (state.armed ? 0 : 1));
  });
  soundButton.addEventListener('click', async () => {
    if (!state) return;
    const wanted = !state.sound;
    soundButton.disabled = true;
    await refreshState('servertxt.html?A_Aenabled=' + (wanted ? 1 : 0));
    // The camera may keep its sound off whatever it is asked; say so rather than stay silent.
    if (state && state.sound !== wanted && statusMessage.hidden) {
      show(statusMessage, wanted ? '摄像头没有打开声音，声音仍为关' : '摄像头没有关闭声音，声音仍为开');
    }
  });

  // ---- running time ----
  async function refreshRunTime() {
    try {
      const text = await (await request('cgi-bin/getConnectionTime.cgi')).text();
      const m = /time = (\d+) day, (\d+) hr, (\d+) min, (\d+) sec/.exec(text);
      if (m) $('runtime').textContent = '运行时间：' + m[1] + '天' + m[2] + '小时' + m[3] + '分' + m[4] + '秒';
    } catch (error) {
      $('runtime').textContent = '运行时间：—';
    }
  }

  // ---- snapshot ----
  const snapshot = $('snapshot');
  const snapshotLink = $('snapshot-link');
  let snapshotUrl = null;

  function stamp(date) {
    const two = (n) => String(n).padStart(2, '0');
    return date.getFullYear() + two(date.getMonth() + 1) + two(date.getDate()) + '-' +
      two(date.getHours()) + two(date.getMinutes()) + two(date.getSeconds());
  }

  $('snapshot-button').addEventListener('click', async () => {
    try {
      const bytes = new Uint8Array(await (await request('snapshot.htm')).arrayBuffer());
      if (bytes.length < 4 || bytes[0] !== 0xFF || bytes[1] !== 0xD8) throw new Error('回答不是 JPEG 图片');
      if (snapshotUrl) URL.revokeObjectURL(snapshotUrl);
      snapshotUrl = URL.createObjectURL(new Blob([bytes], { type: 'image/jpeg' }));
      snapshot.src = snapshotUrl;
      snapshot.hidden = false;
      snapshotLink.href = snapshotUrl;
      snapshotLink.download = 'snapshot-' + stamp(new Date()) + '.jpg';
      snapshotLink.hidden = false;
      show(statusMessage, '');
    } catch (error) {
      show(statusMessage, '抓拍失败：' + error.message);
    }
  });

  // ---- FTP settings ----
  const ftpForm = $('ftp-form');
  const ftpMessage = $('ftp-message');
  const encoder = new TextEncoder();

  function checkSetting(label, value, required) {
    if (required && !value) return label + '不能为空';
    if (/[\s&]/.test(value) || /[\u0000-\u001f\u007f]/.test(value)) return label + '不能包含空格或 &';
    if (encoder.encode(value).length > SETTING_BYTES) return label + '最长 ' + SETTING_BYTES + ' 字节';
    return null;
  }

  ftpForm.addEventListener('submit', async (event) => {
    event.preventDefault();
    const server = ftpForm.server.value.trim();
    const user = ftpForm.user.value;
    const pass = ftpForm.pass.value;
    const problem = checkSetting('服务器', server, true) || checkSetting('用户名', user) || checkSetting('密码', pass);
    if (problem) {
      show(ftpMessage, problem);
      return;
    }
    try {
      const response = await request('servertxt.html', {
        method: 'POST',
        body: 'FTP_SERVER=' + server + '&FTP_USER=' + user + '&FTP_PASS=' + pass,
      });
      const fields = parseFields(await response.text());
      if (fields.FTP_SERVER === undefined) throw new Error('摄像头的回答无法识别');
      show(ftpMessage, '已保存：服务器 ' + fields.FTP_SERVER + '，用户 ' + fields.FTP_USER);
    } catch (error) {
      show(ftpMessage, '保存失败：' + error.message);
    }
  });

  // ---- live picture ----
  let player = null;
  let retryTimer = 0;
  let lastTime = -1;
  let stalledSince = 0;

  function stopPlayer() {
    if (!player) return;
    player.destroy();
    player = null;
  }

  function retry(text) {
    show(message, text + '，' + RETRY_MS / 1000 + ' 秒后重试…');
    stopPlayer();
    clearTimeout(retryTimer);
    retryTimer = setTimeout(startPlayer, RETRY_MS);
  }

  // Without Media Source the browser cannot play the stream: a snapshot a second instead.
  function startFallback(text) {
    video.hidden = true;
    fallback.hidden = false;
    show(message, text);
    const next = () => {
      const image = new Image();
      image.onload = () => {
        fallback.src = image.src;
        setTimeout(next, 1000);
      };
      image.onerror = () => setTimeout(next, 1000);
      image.src = 'snapshot.htm?t=' + Date.now();
    };
    next();
  }

  // A media source of endless duration is a live one to the browser, which then shows each
  // picture as soon as it is decoded instead of keeping a queue of them.
  function markSourcesLive() {
    const Native = window.MediaSource;
    if (!Native || Native.__live) return;
    const Live = class extends Native {
      constructor() {
        super();
        this.addEventListener('sourceopen', () => {
          try {
            this.duration = Infinity;
          } catch (error) {
            // The player sets a duration of its own later; nothing is lost.
          }
        }, { once: true });
      }
    };
    Live.__live = true;
    window.MediaSource = Live;
  }

  function startPlayer() {
    lastTime = -1;
    stalledSince = 0;
    player = mpegts.createPlayer({ type: 'flv', isLive: true, url: 'vdata.flv' }, {
      enableWorker: false,
      enableStashBuffer: false,
      stashInitialSize: 16 * 1024,
      lazyLoad: false,
      autoCleanupSourceBuffer: true,
      autoCleanupMaxBackwardDuration: 10,
      autoCleanupMinBackwardDuration: 5,
      liveBufferLatencyChasing: true,
      liveBufferLatencyChasingOnPaused: true,
      liveBufferLatencyMaxLatency: 0.4,
      liveBufferLatencyMinRemain: 0.1,
      liveSync: true,
      liveSyncMaxLatency: 0.25,
      liveSyncTargetLatency: 0.12,
      liveSyncPlaybackRate: 1.2,
    });
    player.on(mpegts.Events.ERROR, (type, detail) => retry('视频流无法播放（' + type + '：' + detail + '）'));
    player.on(mpegts.Events.LOADING_COMPLETE, () => retry('视频流已中断'));
    player.attachMediaElement(video);
    player.load();
    const started = player.play();
    if (started && started.catch) started.catch(() => show(message, '浏览器未自动播放，请点击画面上的播放按钮'));
  }

  // A stream that stops moving is started again; the message goes once the picture moves.
  function watchPlayback() {
    if (!player) return;
    const now = Date.now();
    if (video.currentTime !== lastTime) {
      if (lastTime >= 0) show(message, '');
      lastTime = video.currentTime;
      stalledSince = now;
    } else if (stalledSince && now - stalledSince > 8000 && !video.paused) {
      retry('视频流没有新画面');
    } else if (!stalledSince) {
      stalledSince = now;
    }
  }

  function startPicture() {
    if (!window.mpegts) {
      startFallback('播放器文件缺失，无法播放视频流；改为每秒刷新一张快照');
      return;
    }
    if (!mpegts.getFeatureList().mseLivePlayback) {
      startFallback('此浏览器不支持 Media Source，无法播放视频流；改为每秒刷新一张快照');
      return;
    }
    show(message, '正在连接视频流…');
    markSourcesLive();
    startPlayer();
    setInterval(watchPlayback, 1000);
  }

  startPicture();
  refreshState();
  refreshRunTime();
  setInterval(refreshState, STATUS_POLL_MS);
  setInterval(refreshRunTime, 30000);
})();

// The browser end of browser_latency_bench.py: opens the viewer page in Debian's Chromium
// (headless, through playwright-core), and for every picture the video element presents,
// draws it to a canvas and reads the test scene's frame index from the strip along its
// bottom. Prints one JSON line: [[wall-clock ms of presentation, index, seconds buffered
// ahead of the playback position], ...].
//   node browser_latency.js <page url> <seconds> <profile dir>
'use strict';
const { chromium } = require('playwright-core');

const [url, seconds, profile] = process.argv.slice(2);
const FLAGS = ['--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
  '--disable-background-networking', '--disable-component-update', '--disable-sync'];

async function main() {
  const context = await chromium.launchPersistentContext(profile, {
    executablePath: '/usr/bin/chromium', headless: true, args: FLAGS, viewport: { width: 1000, height: 660 },
  });
  try {
    const page = context.pages()[0] || await context.newPage();
    await page.goto(url);
    await page.waitForFunction(() => document.getElementById('video').videoWidth > 0, null, { timeout: 30000 });
    const seen = await page.evaluate((ms) => new Promise((resolve) => {
      const video = document.getElementById('video');
      const canvas = document.createElement('canvas');
      canvas.width = 640;
      canvas.height = 480;
      const g = canvas.getContext('2d', { willReadFrequently: true });
      const out = [];
      const end = performance.now() + ms;
      const onFrame = (now, meta) => {
        g.drawImage(video, 0, 0, 640, 480);
        // Row 476 is inside the strip (rows 472-479); cells of 16 pixels from x = 64.
        const row = g.getImageData(0, 476, 640, 1).data;
        let index = 0;
        for (let bit = 0; bit < 32; ++bit) {
          if (row[(64 + bit * 16 + 8) * 4 + 1] > 128) index = (index | (1 << bit)) >>> 0;
        }
        out.push([performance.timeOrigin + (meta.expectedDisplayTime || now), index,
          video.buffered.length ? video.buffered.end(video.buffered.length - 1) - video.currentTime : -1,
        ]);
        if (performance.now() < end) video.requestVideoFrameCallback(onFrame);
        else resolve(out);
      };
      video.requestVideoFrameCallback(onFrame);
    }), Number(seconds) * 1000);
    console.log(JSON.stringify(seen));
  } finally {
    await context.close();
  }
}

main().catch((error) => {
  console.error(error.stack || String(error));
  process.exit(1);
});

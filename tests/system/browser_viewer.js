// Drives the camera's viewer page in Debian's Chromium, headless, and prints what it saw as
// one JSON line: node browser_viewer.js <page url> <screenshot path> <profile dir>.
// The checks themselves are made by test_browser_viewer.py.
'use strict';
const { chromium } = require('playwright-core');

const [url, screenshot, profile] = process.argv.slice(2);

// Chromium flags that keep a headless run to itself: no network but the camera's.
const FLAGS = ['--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
  '--disable-background-networking', '--disable-component-update', '--disable-sync'];

async function main() {
  const context = await chromium.launchPersistentContext(profile, {
    executablePath: '/usr/bin/chromium', headless: true, args: FLAGS,
    viewport: { width: 1000, height: 660 },
  });
  const seen = { console: [] };
  try {
    const page = context.pages()[0] || await context.newPage();
    page.on('pageerror', (error) => seen.console.push('page error: ' + error.message));
    await page.goto(url);

    // The live picture: its size, then 5 s of its clock.
    await page.waitForFunction(() => {
      const v = document.getElementById('video');
      return v.videoWidth > 0 && v.currentTime > 0;
    }, null, { timeout: 30000 });
    const before = await page.evaluate(() => document.getElementById('video').currentTime);
    await page.waitForTimeout(5000);
    Object.assign(seen, await page.evaluate((start) => {
      const v = document.getElementById('video');
      return { videoWidth: v.videoWidth, videoHeight: v.videoHeight, advanced: v.currentTime - start,
        message: document.getElementById('message').hidden ? '' : document.getElementById('message').textContent };
    }, before));

    // Arming from the page.
    await page.waitForFunction(() => !document.getElementById('armed-button').disabled);
    seen.armedBefore = await page.textContent('#armed-state');
    await page.click('#armed-button');
    await page.waitForFunction((old) => document.getElementById('armed-state').textContent !== old,
      seen.armedBefore, { timeout: 10000 });
    seen.armedAfter = await page.textContent('#armed-state');

    // The snapshot button: the picture it shows and the bytes behind it.
    await page.click('#snapshot-button');
    await page.waitForFunction(() => document.getElementById('snapshot').naturalWidth > 0, null, { timeout: 15000 });
    Object.assign(seen, await page.evaluate(async () => {
      const img = document.getElementById('snapshot');
      const bytes = new Uint8Array(await (await fetch(img.src)).arrayBuffer());
      return { snapshotWidth: img.naturalWidth, snapshotHead: Array.from(bytes.slice(0, 3)),
        snapshotDownload: document.getElementById('snapshot-link').download };
    }));
    await page.screenshot({ path: screenshot });

    // A phone's width: nothing sticks out sideways.
    await page.setViewportSize({ width: 360, height: 740 });
    seen.phoneOverflow = await page.evaluate(() => document.documentElement.scrollWidth - window.innerWidth);
    await page.close();

    // A browser without Media Source: snapshots refreshed every second instead.
    const bare = await context.newPage();
    await bare.addInitScript(() => {
      delete window.MediaSource;
      delete window.ManagedMediaSource;
    });
    await bare.goto(url);
    const sources = new Set();
    for (let i = 0; i < 16; ++i) {
      const src = await bare.evaluate(() => {
        const img = document.getElementById('fallback');
        return img.hidden || !img.complete || img.naturalWidth === 0 ? '' : img.src;
      });
      if (src) sources.add(src);
      await bare.waitForTimeout(250);
    }
    seen.fallbackPictures = sources.size;
    seen.fallbackMessage = await bare.textContent('#message');
  } finally {
    await context.close();
  }
  console.log(JSON.stringify(seen));
}

main().catch((error) => {
  console.error(error.stack || String(error));
  process.exit(1);
});

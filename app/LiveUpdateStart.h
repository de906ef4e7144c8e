#pragma once
// The main program's part of the live update: its listener and the start of the run.
// Start-up thread only.

// Hands the engine the program directory and the update server(s) and starts the run;
// waits at most 100 ms for it, so start-up goes on while the update runs.
// The server is "http://<server address>/liveupdate" with the list "vtcam.xml";
// VTCAM_UPDATE_URL (base URLs separated by ";") puts other servers in its place.
void StartLiveUpdate();

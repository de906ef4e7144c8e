#pragma once
// FLV bytes the program writes itself: the stream header sent before audio-only tags and
// the audio start (AAC sequence header + a first AAC LC frame, mono, 44100 Hz).
//
// Who may include it: media/ (CFileDispatcher) and tests. Constant data, any thread.
#include <cstdint>

inline constexpr int kFlvStreamHeaderTemplateSize = 272;
inline constexpr int kFlvAudioStartTemplateSize = 231;
inline constexpr int kFirstAacFrameSize = 195;

extern const unsigned char kFlvStreamHeaderTemplate[kFlvStreamHeaderTemplateSize];
extern const unsigned char kFlvAudioStartTemplate[kFlvAudioStartTemplateSize];
// Where the raw AAC frame lies inside kFlvAudioStartTemplate: behind the sequence-header
// tag (19 bytes), the frame tag's header (11) and AF 01.
inline constexpr int kFirstAacFrameOffset = 19 + 11 + 2;

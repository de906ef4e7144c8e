#include "converter/AudioEncoder.h"

#include <cstring>

extern "C" {
#include <libavutil/audio_fifo.h>
#include <libavutil/channel_layout.h>
#include <libavutil/opt.h>
#include <libswresample/swresample.h>
}

namespace converter {

CAudioEncoder::~CAudioEncoder() {
  avcodec_free_context(&m_codec);
  swr_free(&m_resampler);
  if (m_fifo) av_audio_fifo_free(m_fifo);
  av_frame_free(&m_frame);
  av_packet_free(&m_packet);
  if (m_converted) av_freep(&m_converted[0]);
  av_freep(&m_converted);
}

bool CAudioEncoder::Open(const AudioInput& input, int outSampleRate, int outChannels, std::string* error) {
  const AVCodec* codec = avcodec_find_encoder(AV_CODEC_ID_AAC);
  if (!codec) {
    *error = "no AAC encoder in this build of libavcodec";
    return false;
  }
  m_codec = avcodec_alloc_context3(codec);
  m_frame = av_frame_alloc();
  m_packet = av_packet_alloc();
  if (!m_codec || !m_frame || !m_packet) {
    *error = "out of memory";
    return false;
  }
  m_codec->sample_fmt = AV_SAMPLE_FMT_FLTP;
  m_codec->sample_rate = outSampleRate;
  av_channel_layout_default(&m_codec->ch_layout, outChannels);
  m_codec->bit_rate = 48000 * outChannels;
  m_codec->time_base = AVRational{1, outSampleRate};
  m_codec->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
  int rc = avcodec_open2(m_codec, codec, nullptr);
  if (rc < 0) {
    *error = "cannot open AAC encoder: " + AvErrorText(rc);
    return false;
  }

  AVChannelLayout inLayout;
  av_channel_layout_default(&inLayout, input.channels);
  const AVSampleFormat inFormat = input.format == SampleFormat::U8 ? AV_SAMPLE_FMT_U8 : AV_SAMPLE_FMT_S16;
  m_bytesPerInputSample = static_cast<size_t>(av_get_bytes_per_sample(inFormat) * input.channels);
  rc = swr_alloc_set_opts2(&m_resampler, &m_codec->ch_layout, m_codec->sample_fmt, outSampleRate,
                           &inLayout, inFormat, input.sampleRate, 0, nullptr);
  av_channel_layout_uninit(&inLayout);
  if (rc < 0 || swr_init(m_resampler) < 0) {
    *error = "cannot set up the resampler";
    return false;
  }
  SetStartPts(0);
  m_fifo = av_audio_fifo_alloc(m_codec->sample_fmt, outChannels, m_codec->frame_size * 4);
  m_frame->format = m_codec->sample_fmt;
  m_frame->nb_samples = m_codec->frame_size;
  m_frame->sample_rate = outSampleRate;
  av_channel_layout_copy(&m_frame->ch_layout, &m_codec->ch_layout);
  if (!m_fifo || av_frame_get_buffer(m_frame, 0) < 0) {
    *error = "out of memory";
    return false;
  }
  return true;
}

void CAudioEncoder::SetStartPts(int64_t startPts) {
  m_nextPts = startPts + (m_codec ? m_codec->initial_padding : 0);
}

bool CAudioEncoder::Feed(const uint8_t* data, size_t length, const PacketSink& sink, std::string* error) {
  while (length > 0) {
    // Complete a sample instant that the previous block cut in two.
    const uint8_t* samples = data;
    size_t count = 0;
    uint8_t joined[4];
    if (m_partialCount > 0) {
      const size_t need = m_bytesPerInputSample - m_partialCount;
      const size_t take = length < need ? length : need;
      memcpy(m_partial + m_partialCount, data, take);
      m_partialCount += take;
      data += take;
      length -= take;
      if (m_partialCount < m_bytesPerInputSample) return true;
      memcpy(joined, m_partial, m_bytesPerInputSample);
      m_partialCount = 0;
      samples = joined;
      count = 1;
    } else {
      count = length / m_bytesPerInputSample;
      const size_t used = count * m_bytesPerInputSample;
      if (length > used) {
        memcpy(m_partial, data + used, length - used);
        m_partialCount = length - used;
      }
      data += length;
      length = 0;
    }
    if (count == 0) continue;

    const int inCount = static_cast<int>(count);
    const int outCapacity = swr_get_out_samples(m_resampler, inCount);
    if (outCapacity > m_convertedCapacity) {
      if (m_converted) av_freep(&m_converted[0]);
      av_freep(&m_converted);
      if (av_samples_alloc_array_and_samples(&m_converted, nullptr, m_codec->ch_layout.nb_channels,
                                             outCapacity, m_codec->sample_fmt, 0) < 0) {
        *error = "out of memory";
        return false;
      }
      m_convertedCapacity = outCapacity;
    }
    const uint8_t* in[1] = {samples};
    const int produced = swr_convert(m_resampler, m_converted, m_convertedCapacity, in, inCount);
    if (produced < 0) {
      *error = "resampling: " + AvErrorText(produced);
      return false;
    }
    if (produced > 0 &&
        av_audio_fifo_write(m_fifo, reinterpret_cast<void**>(m_converted), produced) < produced) {
      *error = "out of memory";
      return false;
    }
    if (!EncodeFrames(sink, error)) return false;
  }
  return true;
}

bool CAudioEncoder::EncodeFrames(const PacketSink& sink, std::string* error) {
  while (av_audio_fifo_size(m_fifo) >= m_codec->frame_size) {
    int rc = av_frame_make_writable(m_frame);
    if (rc < 0) {
      *error = "frame not writable: " + AvErrorText(rc);
      return false;
    }
    av_audio_fifo_read(m_fifo, reinterpret_cast<void**>(m_frame->data), m_codec->frame_size);
    m_frame->pts = m_nextPts;
    m_nextPts += m_codec->frame_size;
    rc = avcodec_send_frame(m_codec, m_frame);
    if (rc < 0) {
      *error = "encoding audio: " + AvErrorText(rc);
      return false;
    }
    for (;;) {
      rc = avcodec_receive_packet(m_codec, m_packet);
      if (rc == AVERROR(EAGAIN) || rc == AVERROR_EOF) break;
      if (rc < 0) {
        *error = "encoding audio: " + AvErrorText(rc);
        return false;
      }
      const bool ok = sink(m_packet, m_codec);
      av_packet_unref(m_packet);
      if (!ok) return false;
    }
  }
  return true;
}

}  // namespace converter

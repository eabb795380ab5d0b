#pragma once

#include <QByteArray>
#include <QtGlobal>

// Packages 16-bit mono PCM as a WAV file: the 44-byte RIFF header, then the samples unchanged.
namespace WavFile {

constexpr int headerSize = 44;
// The largest PCM payload whose sizes still fit the header's unsigned 32-bit fields, in whole samples.
constexpr qint64 maximumDataLength = (qint64(0xFFFFFFFF) - 36) & ~qint64(1);

QByteArray header(quint32 sampleRate, quint32 dataLength);
// Null when pcm is empty. A payload beyond maximumDataLength is cut to it (and logged), so the file
// stays readable rather than carrying wrapped-around sizes.
QByteArray fromPcm16Mono(const QByteArray& pcm, quint32 sampleRate);

} // namespace WavFile

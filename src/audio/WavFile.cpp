#include "audio/WavFile.h"

#include "dictation/AppLog.h"

#include <QtEndian>

namespace WavFile {

namespace {

void appendUInt32(QByteArray& bytes, quint32 value) {
    char raw[4];
    qToLittleEndian<quint32>(value, raw);
    bytes.append(raw, 4);
}

void appendUInt16(QByteArray& bytes, quint16 value) {
    char raw[2];
    qToLittleEndian<quint16>(value, raw);
    bytes.append(raw, 2);
}

} // namespace

QByteArray header(quint32 sampleRate, quint32 dataLength) {
    QByteArray bytes;
    bytes.reserve(headerSize);
    bytes.append("RIFF", 4);
    appendUInt32(bytes, dataLength + 36);
    bytes.append("WAVE", 4);
    bytes.append("fmt ", 4);
    appendUInt32(bytes, 16); // format chunk size
    appendUInt16(bytes, 1);  // integer PCM
    appendUInt16(bytes, 1);  // channels
    appendUInt32(bytes, sampleRate);
    appendUInt32(bytes, sampleRate * 2); // bytes per second
    appendUInt16(bytes, 2);              // block align
    appendUInt16(bytes, 16);             // bits per sample
    bytes.append("data", 4);
    appendUInt32(bytes, dataLength);
    return bytes;
}

QByteArray fromPcm16Mono(const QByteArray& pcm, quint32 sampleRate) {
    if (pcm.isEmpty())
        return {};
    qint64 length = pcm.size();
    if (length > maximumDataLength) {
        appLog(
            QStringLiteral(
                "AudioManager: Recording of %1 bytes exceeds the WAV size limit; keeping the first %2 bytes")
                .arg(length)
                .arg(maximumDataLength));
        length = maximumDataLength;
    }
    QByteArray file = header(sampleRate, static_cast<quint32>(length));
    file.reserve(headerSize + length);
    file.append(pcm.constData(), static_cast<qsizetype>(length));
    return file;
}

} // namespace WavFile

#pragma once

#include <QByteArray>
#include <QString>

#include <chrono>

// How one kind of backend call is addressed and how often it is tried. Its time-out belongs to the
// client that makes it.
struct BackendCallKind {
    QByteArray method;
    QString path; // appended to the backend base URL as a path component
    int attempts;
    std::chrono::milliseconds retryPause; // after the first attempt's outcome, before the second

    static BackendCallKind capabilities();
    static BackendCallKind format();
    static BackendCallKind audioFormat();
    static BackendCallKind translate();
    static BackendCallKind transcribe();
};

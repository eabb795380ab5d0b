#pragma once

class ElevenLabsRealtimeService;
class OpenAITranscriptionService;

// The two transcription sources of a dictation, as one pair: batch transcription of a finished
// recording, and the streaming client. It holds the session controller's own objects, not copies.
// The streaming client is the one the next dictation uses; it changes only when an earlier dictation
// still needs its own session to finish.
struct TranscriptionCoordinator {
    OpenAITranscriptionService* cloudBatchService = nullptr;
    ElevenLabsRealtimeService* cloudRealtimeService = nullptr;
};

/* refloop: the smallest possible capture-to-playback loop on wave devices 0.
 *
 * It exists to prove the end-to-end test machinery (virtual sound server,
 * Wine, the delay measurement) independently of Lumrio itself: it opens the
 * recording and playback devices at 22050 Hz mono 16-bit, keeps 16 capture
 * buffers queued and writes every full buffer straight to the playback
 * device, so its delay is one block plus whatever the sound stack adds.
 *
 * Usage: refloop.exe BLOCK_SAMPLES SECONDS [BACKLOG_LOG]
 * Prints one line of counters at the end; exit status 0 on a clean stop.
 * With BACKLOG_LOG, writes a line "MS BACKLOG" there after every block
 * written: milliseconds since the start and the samples written less the
 * playback device's position (what it holds, as far as it tells). */
#include <windows.h>
// windows.h first: mmsystem.h depends on it.
#include <mmsystem.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#define RING_SIZE 16
/* Playback blocks in flight; twice the ring so a slow playback side shows up
 * as dropped blocks rather than as an unbounded queue. */
#define PLAY_SLOTS 32

typedef struct {
  WAVEHDR header;
  short* samples;
  int in_use;
} Slot;

typedef struct {
  HWAVEIN in;
  HWAVEOUT out;
  HANDLE in_event;
  Slot ring[RING_SIZE];
  Slot play[PLAY_SLOTS];
  DWORD block_bytes;
  FILE* backlog_log;
  DWORD started_ms;
  DWORD written; /* samples, modulo 2^32 as the device counts them */
  long captured;
  long played;
  long dropped;
  long errors;
} Loop;

static volatile LONG stop_requested = 0;

static BOOL WINAPI on_console_signal(DWORD type) {
  (void)type;
  InterlockedExchange(&stop_requested, 1);
  return TRUE;
}

static void fail(const char* what, MMRESULT result) {
  fprintf(stderr, "refloop: %s failed (MMRESULT %u)\n", what, (unsigned)result);
}

static WAVEFORMATEX make_format(void) {
  WAVEFORMATEX format;
  memset(&format, 0, sizeof format);
  format.wFormatTag = WAVE_FORMAT_PCM;
  format.nChannels = 1;
  format.nSamplesPerSec = 22050;
  format.wBitsPerSample = 16;
  format.nBlockAlign = 2;
  format.nAvgBytesPerSec = 44100;
  format.cbSize = 0;
  return format;
}

static int alloc_slots(Slot* slots, int count, DWORD bytes) {
  for (int i = 0; i < count; ++i) {
    memset(&slots[i], 0, sizeof slots[i]);
    slots[i].samples = (short*)calloc(1, bytes);
    if (!slots[i].samples) return 0;
    slots[i].header.lpData = (LPSTR)slots[i].samples;
    slots[i].header.dwBufferLength = bytes;
    slots[i].header.dwUser = (DWORD_PTR)i;
  }
  return 1;
}

static void free_slots(Slot* slots, int count) {
  for (int i = 0; i < count; ++i) free(slots[i].samples);
}

static int open_devices(Loop* loop) {
  WAVEFORMATEX format = make_format();
  MMRESULT r = waveOutOpen(&loop->out, 0, &format, 0, 0, CALLBACK_NULL);
  if (r != MMSYSERR_NOERROR) {
    fail("waveOutOpen", r);
    return 0;
  }
  r = waveInOpen(&loop->in, 0, &format, (DWORD_PTR)loop->in_event, 0, CALLBACK_EVENT);
  if (r != MMSYSERR_NOERROR) {
    fail("waveInOpen", r);
    waveOutClose(loop->out);
    return 0;
  }
  return 1;
}

static int queue_ring(Loop* loop) {
  for (int i = 0; i < RING_SIZE; ++i) {
    WAVEHDR* h = &loop->ring[i].header;
    MMRESULT r = waveInPrepareHeader(loop->in, h, sizeof *h);
    if (r != MMSYSERR_NOERROR) {
      fail("waveInPrepareHeader", r);
      return 0;
    }
    loop->ring[i].in_use = 1;
    r = waveInAddBuffer(loop->in, h, sizeof *h);
    if (r != MMSYSERR_NOERROR) {
      fail("waveInAddBuffer", r);
      return 0;
    }
  }
  return 1;
}

/* Returns played playback slots to the pool; a slot counts as played when the
 * device has marked its header done. */
static void reclaim_played(Loop* loop) {
  for (int i = 0; i < PLAY_SLOTS; ++i) {
    Slot* s = &loop->play[i];
    if (s->in_use && (s->header.dwFlags & WHDR_DONE)) {
      waveOutUnprepareHeader(loop->out, &s->header, sizeof s->header);
      s->in_use = 0;
      ++loop->played;
    }
  }
}

static Slot* free_play_slot(Loop* loop) {
  for (int i = 0; i < PLAY_SLOTS; ++i)
    if (!loop->play[i].in_use) return &loop->play[i];
  return NULL;
}

static void play_block(Loop* loop, const WAVEHDR* captured) {
  Slot* slot = free_play_slot(loop);
  if (!slot) {
    ++loop->dropped;
    return;
  }
  memcpy(slot->samples, captured->lpData, loop->block_bytes);
  slot->header.dwFlags = 0;
  slot->header.dwBufferLength = loop->block_bytes;
  MMRESULT r = waveOutPrepareHeader(loop->out, &slot->header, sizeof slot->header);
  if (r == MMSYSERR_NOERROR) r = waveOutWrite(loop->out, &slot->header, sizeof slot->header);
  if (r != MMSYSERR_NOERROR) {
    fail("waveOutWrite", r);
    ++loop->errors;
    return;
  }
  slot->in_use = 1;
  loop->written += loop->block_bytes / 2u;
}

static void log_backlog(Loop* loop) {
  if (!loop->backlog_log) return;
  MMTIME time;
  time.wType = TIME_SAMPLES;
  if (waveOutGetPosition(loop->out, &time, sizeof time) != MMSYSERR_NOERROR ||
      time.wType != TIME_SAMPLES)
    return;
  fprintf(loop->backlog_log, "%lu %ld\n", (unsigned long)(GetTickCount() - loop->started_ms),
          (long)(LONG)(loop->written - time.u.sample));
}

/* The device fills buffers in the order they were queued, so the next one to
 * complete is always the oldest; walking the ring in order keeps blocks in
 * sequence. */
static void pump_captured(Loop* loop, int* next) {
  for (;;) {
    Slot* s = &loop->ring[*next];
    if (!(s->header.dwFlags & WHDR_DONE)) return;
    ++loop->captured;
    /* Copy out before re-queueing: the buffer is only read here. */
    play_block(loop, &s->header);
    log_backlog(loop);
    s->header.dwFlags &= ~(DWORD)WHDR_DONE;
    MMRESULT r = waveInAddBuffer(loop->in, &s->header, sizeof s->header);
    if (r != MMSYSERR_NOERROR) {
      fail("waveInAddBuffer (requeue)", r);
      ++loop->errors;
      s->in_use = 0;
    }
    *next = (*next + 1) % RING_SIZE;
  }
}

static void run_loop(Loop* loop, DWORD seconds) {
  DWORD start = GetTickCount();
  int next = 0;
  while (!stop_requested && GetTickCount() - start < seconds * 1000u) {
    WaitForSingleObject(loop->in_event, 50);
    pump_captured(loop, &next);
    reclaim_played(loop);
  }
}

static int all_capture_done(const Loop* loop) {
  for (int i = 0; i < RING_SIZE; ++i)
    if (loop->ring[i].in_use && !(loop->ring[i].header.dwFlags & WHDR_DONE)) return 0;
  return 1;
}

static int all_playback_done(const Loop* loop) {
  for (int i = 0; i < PLAY_SLOTS; ++i)
    if (loop->play[i].in_use && !(loop->play[i].header.dwFlags & WHDR_DONE)) return 0;
  return 1;
}

/* Waits (bounded) for a reset device to mark every buffer done. */
static int wait_until(int (*done)(const Loop*), const Loop* loop) {
  for (int waited = 0; waited < 5000; waited += 10) {
    if (done(loop)) return 1;
    Sleep(10);
  }
  return 0;
}

static int shut_down(Loop* loop) {
  int clean = 1;
  waveInReset(loop->in);
  if (!wait_until(all_capture_done, loop)) {
    fprintf(stderr, "refloop: capture buffers not returned after reset\n");
    clean = 0;
  }
  for (int i = 0; i < RING_SIZE; ++i)
    if (loop->ring[i].in_use)
      waveInUnprepareHeader(loop->in, &loop->ring[i].header, sizeof(WAVEHDR));
  if (waveInClose(loop->in) != MMSYSERR_NOERROR) clean = 0;

  waveOutReset(loop->out);
  if (!wait_until(all_playback_done, loop)) {
    fprintf(stderr, "refloop: playback blocks not returned after reset\n");
    clean = 0;
  }
  for (int i = 0; i < PLAY_SLOTS; ++i)
    if (loop->play[i].in_use)
      waveOutUnprepareHeader(loop->out, &loop->play[i].header, sizeof(WAVEHDR));
  if (waveOutClose(loop->out) != MMSYSERR_NOERROR) clean = 0;
  return clean;
}

static int parse_positive(const char* text, long max, long* value) {
  char* end = NULL;
  long v = strtol(text, &end, 10);
  if (end == text || *end != '\0' || v <= 0 || v > max) return 0;
  *value = v;
  return 1;
}

int main(int argc, char** argv) {
  long block = 0, seconds = 0;
  if ((argc != 3 && argc != 4) || !parse_positive(argv[1], 88000, &block) ||
      !parse_positive(argv[2], 86400, &seconds)) {
    fprintf(stderr, "usage: refloop BLOCK_SAMPLES(1..88000) SECONDS [BACKLOG_LOG]\n");
    return 2;
  }
  SetConsoleCtrlHandler(on_console_signal, TRUE);

  static Loop loop;
  loop.block_bytes = (DWORD)block * 2u;
  if (argc == 4 && !(loop.backlog_log = fopen(argv[3], "w"))) {
    fprintf(stderr, "refloop: cannot write %s\n", argv[3]);
    return 2;
  }
  loop.started_ms = GetTickCount();
  loop.in_event = CreateEventA(NULL, FALSE, FALSE, NULL);
  if (!loop.in_event || !alloc_slots(loop.ring, RING_SIZE, loop.block_bytes) ||
      !alloc_slots(loop.play, PLAY_SLOTS, loop.block_bytes)) {
    fprintf(stderr, "refloop: out of memory\n");
    return 1;
  }
  if (!open_devices(&loop)) return 1;
  int ok = queue_ring(&loop);
  MMRESULT r = ok ? waveInStart(loop.in) : MMSYSERR_ERROR;
  if (ok && r != MMSYSERR_NOERROR) {
    fail("waveInStart", r);
    ok = 0;
  }
  printf("refloop: running, block %ld samples, %ld s\n", block, seconds);
  fflush(stdout);
  if (ok) run_loop(&loop, (DWORD)seconds);
  int clean = shut_down(&loop);
  free_slots(loop.ring, RING_SIZE);
  free_slots(loop.play, PLAY_SLOTS);
  CloseHandle(loop.in_event);
  if (loop.backlog_log) fclose(loop.backlog_log);

  printf("refloop: captured %ld played %ld dropped %ld errors %ld\n", loop.captured, loop.played,
         loop.dropped, loop.errors);
  fflush(stdout);
  return (ok && clean && loop.errors == 0) ? 0 : 1;
}

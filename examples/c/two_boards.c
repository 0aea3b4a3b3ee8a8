/* Two boards at once through the handle API, one thread each.
 *
 *   two_boards PORT1 PORT2      e.g. two_boards /dev/ttyUSB0 /dev/ttyUSB1, or COM3 COM4
 *
 * Each thread opens its board, makes port B an output, writes it a value of its
 * own and reads it back, then samples channels 0 and 1 with a progress
 * callback. The results are printed once both threads are done; the exit
 * status is 0 when both boards did all of it. */
#include <stdio.h>
#include <tarvelin.h>

#if defined(_WIN32)
#include <windows.h>
#else
#include <pthread.h>
#endif

#define SAMPLES 200
#define CHANNELS 2

struct worker {
    const char* port;
    int32_t wrote;
    int32_t read;
    int32_t values[CHANNELS * SAMPLES];
    int32_t count;
    int32_t progress_calls;
    int32_t code;
    char text[256];
};

static int32_t TARVELIN_CALL on_progress(void* context, int32_t received, int32_t total)
{
    struct worker* w = (struct worker*)context;
    (void)received;
    (void)total;
    w->progress_calls++;
    return 0; /* go on */
}

/* Stops at the first failure, keeping its code and the board's text. */
static void drive(struct worker* w)
{
    tarvelin_board* board = NULL;
    w->code = tarvelin_open(w->port, 9600, &board);
    if (w->code != TARVELIN_OK) {
        /* The reason of a failed open is kept for this thread, not on a board. */
        tarvelin_error_text(NULL, w->text, (int32_t)sizeof w->text);
        return;
    }
    w->code = tarvelin_command(board, "PCB255", NULL);
    if (w->code == TARVELIN_OK) w->code = tarvelin_port_write(board, 'B', w->wrote);
    if (w->code == TARVELIN_OK) w->code = tarvelin_port_read(board, 'B', &w->read);
    if (w->code == TARVELIN_OK) {
        w->code = tarvelin_sample(board, 10, (1 << CHANNELS) - 1, 2, SAMPLES, w->values, CHANNELS * SAMPLES,
                                  on_progress, w, &w->count);
    }
    if (w->code != TARVELIN_OK) tarvelin_error_text(board, w->text, (int32_t)sizeof w->text);
    tarvelin_close(board);
}

#if defined(_WIN32)
static DWORD WINAPI run(LPVOID w)
{
    drive((struct worker*)w);
    return 0;
}
#else
static void* run(void* w)
{
    drive((struct worker*)w);
    return NULL;
}
#endif

int main(int argc, char** argv)
{
    static struct worker workers[2];
    int status = 0;
    int i;
    if (argc != 3) {
        fprintf(stderr, "usage: %s PORT1 PORT2   (COM3, 3 or a device path such as /dev/ttyUSB0)\n", argv[0]);
        return 2;
    }
    for (i = 0; i < 2; i++) {
        workers[i].port = argv[i + 1];
        workers[i].wrote = 17 * (i + 1);
    }
    {
#if defined(_WIN32)
        HANDLE threads[2];
        for (i = 0; i < 2; i++) threads[i] = CreateThread(NULL, 0, run, &workers[i], 0, NULL);
        for (i = 0; i < 2; i++) {
            if (threads[i] == NULL) {
                drive(&workers[i]); /* no thread to be had: this board's turn comes here */
            } else {
                WaitForSingleObject(threads[i], INFINITE);
                CloseHandle(threads[i]);
            }
        }
#else
        pthread_t threads[2];
        int started[2];
        for (i = 0; i < 2; i++) started[i] = pthread_create(&threads[i], NULL, run, &workers[i]) == 0;
        for (i = 0; i < 2; i++) {
            if (started[i]) {
                pthread_join(threads[i], NULL);
            } else {
                drive(&workers[i]);
            }
        }
#endif
    }
    for (i = 0; i < 2; i++) {
        const struct worker* w = &workers[i];
        if (w->code != TARVELIN_OK) {
            printf("%s: error %d: %s\n", w->port, (int)w->code, w->text);
            status = 1;
            continue;
        }
        printf("%s: port B wrote %d, read %d\n", w->port, (int)w->wrote, (int)w->read);
        printf("%s: sampled %d values, first %d, %d progress calls\n", w->port, (int)w->count, (int)w->values[0],
               (int)w->progress_calls);
        if (w->read != w->wrote || w->count != CHANNELS * SAMPLES) status = 1;
    }
    return status;
}

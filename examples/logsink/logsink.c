/*
 * logsink - an example plugin: keeps the log stream in a file.
 *
 * Every log message that passes its source's threshold is an event of type
 * 0x40 (flags 0x2), queued like any other event. The log sink subscribes to
 * them and appends each to "dvrcore.log" in the core's working directory:
 * UTC time, the provider ID, the level and the text. The console only shows
 * log lines when the core's standard output is a terminal; this file gets
 * them either way.
 *
 * Written only against include/plugin/, as any third-party plugin would be.
 */
#define _POSIX_C_SOURCE 200809L
#include <pthread.h>
#include <stdio.h>
#include <string.h>
#include <time.h>

#include "plugin/dvrplugin_entry.h"

#define LOGSINK_ID 0x00520000u
#define LOG_FILE "dvrcore.log"

static pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
static FILE *log_file;

int Load(const _LoadParmsIn *in, _LoadParmsOut *out)
{
    (void)in; /* the sink posts nothing */
    out->pluginId = LOGSINK_ID;
    out->subscribe[DVR_SUBSCRIBE_0x40] = 0xFFFFFFFFu; /* every log message */
    out->writable = 1;
    return 0;
}

int Open(const _OpenParmsIn *in, _OpenParmsOut *out)
{
    (void)in;
    (void)out;
    pthread_mutex_lock(&lock);
    log_file = fopen(LOG_FILE, "a");
    pthread_mutex_unlock(&lock);
    return log_file ? 0 : -1;
}

int Write(const _WriteParmsIn *in, _WriteParmsOut *out)
{
    char stamp[32];
    time_t now = time(NULL);
    struct tm parts;

    (void)out;
    if (in->eventType != DVR_EVENT_LOG || !(in->flags & DVR_FLAG_LOG_MESSAGE) || !in->data)
        return 0;
    gmtime_r(&now, &parts);
    strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%SZ", &parts);
    pthread_mutex_lock(&lock);
    if (log_file) {
        /* len counts the terminating NUL; never read past it. */
        fprintf(log_file, "%s 0x%08x %3d %.*s\n", stamp, in->providerID, in->level,
                (int)(in->len ? in->len - 1 : 0), (const char *)in->data);
        fflush(log_file);
    }
    pthread_mutex_unlock(&lock);
    return 0;
}

int Close(const _CloseParmsIn *in, _CloseParmsOut *out)
{
    (void)in;
    (void)out;
    pthread_mutex_lock(&lock);
    if (log_file)
        fclose(log_file);
    log_file = NULL;
    pthread_mutex_unlock(&lock);
    return 0;
}

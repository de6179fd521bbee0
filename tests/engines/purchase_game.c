/* A C game that grants purchases through the purchase listener, for the tests
 * that kill it at each step between the server's confirmation and the finish.
 *   purchase_game poll|threads buy|nobuy STOP
 * STOP: where it stops for good (to be killed), or how it ends:
 *   callback   inside the purchase's callback      listener  inside the listener
 *   unfinished after the listener, before finishing
 *   finish     finishes what it receives, then exits
 *   keep       keeps what it receives; exits after a line on standard input
 * It prints one line per step: "init CODE", "paid ORDER", "got ORDER JSON",
 * "finished ORDER", "at STOP", "ready", "done"; "bad ..." when a rule broke. */
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include "nimosdk64_c.h"

static int poll_mode, in_poll, results;
static const char* stop;
static pthread_t main_thread;
static pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;

static void say(const char* what, const char* a, const char* b) {
  pthread_mutex_lock(&lock);
  printf("%s%s%s%s%s\n", what, a ? " " : "", a ? a : "", b ? " " : "", b ? b : "");
  fflush(stdout);
  pthread_mutex_unlock(&lock);
}

static void sleep_ms(long ms) {
  struct timespec t = {ms / 1000, (ms % 1000) * 1000000L};
  nanosleep(&t, NULL);
}

static void halt(const char* step) {
  say("at", step, NULL);
  for (;;) sleep_ms(1000);
}

/* The value of "orderId" in a report. */
static void order_of(const char* json, char* out, size_t size) {
  const char* p = strstr(json, "\"orderId\":\"");
  size_t n = 0;
  if (p != NULL) {
    p += 11;
    while (p[n] != '\0' && p[n] != '"' && n + 1 < size) n++;
    memcpy(out, p, n);
  }
  out[n] = '\0';
}

static void on_result(int code, const char* message, const char* data, void* user) {
  char order[128], text[16];
  (void)message;
  if (user == (void*)2) {
    order_of(data, order, sizeof order);
    say(strstr(data, "\"status\":1") != NULL && code == NIMO_OK ? "paid" : "unpaid", order, NULL);
    if (strcmp(stop, "callback") == 0) halt("callback");
  } else {
    snprintf(text, sizeof text, "%d", code);
    say("result", text, NULL);
  }
  pthread_mutex_lock(&lock);
  results++;
  pthread_mutex_unlock(&lock);
}

static void on_purchase(const char* purchase_json, void* user) {
  char order[128];
  if (user != (void*)7) say("bad", "user pointer", NULL);
  if (poll_mode && (!in_poll || !pthread_equal(pthread_self(), main_thread))) {
    say("bad", "listener outside the poll", NULL);
  }
  order_of(purchase_json, order, sizeof order);
  say("got", order, purchase_json);
  if (strcmp(stop, "listener") == 0) halt("listener");
  if (strcmp(stop, "finish") == 0) {
    nimo_finish_purchase(order);  /* granted: from inside the listener */
    say("finished", order, NULL);
  }
}

/* A frame loop for ms, or until n results came. */
static void play(long ms, int n) {
  for (long t = 0; t < ms; t += 10) {
    in_poll = 1;
    nimo_run_callbacks();
    in_poll = 0;
    pthread_mutex_lock(&lock);
    int have = results;
    pthread_mutex_unlock(&lock);
    if (n > 0 && have >= n) return;
    sleep_ms(10);
  }
}

int main(int argc, char** argv) {
  if (argc != 4) {
    fprintf(stderr, "usage: purchase_game poll|threads buy|nobuy STOP\n");
    return 2;
  }
  poll_mode = strcmp(argv[1], "poll") == 0;
  stop = argv[3];
  main_thread = pthread_self();
  nimo_set_callback_mode(poll_mode ? NIMO_CALLBACKS_ON_POLL : NIMO_CALLBACKS_ON_SDK_THREADS);
  if (nimo_set_purchase_listener(on_purchase, (void*)7) != NIMO_SET_OK) say("bad", "listener refused", NULL);
  nimo_init("10001", "sandbox-key-10001", on_result, (void*)1);
  play(15000, 1);
  if (nimo_set_purchase_listener(NULL, NULL) != NIMO_SET_TOO_LATE) say("bad", "listener set after init", NULL);
  if (strcmp(argv[2], "buy") == 0) {
    nimo_login(on_result, (void*)3);
    play(15000, 2);
    nimo_call_pay("gem_60", "{\"chest\":\"gold\"}", on_result, (void*)2);
    play(20000, 3);
  }
  play(1500, 0);  /* what earlier runs left, and this purchase's listener call */
  if (strcmp(stop, "unfinished") == 0) halt("unfinished");
  if (strcmp(stop, "keep") == 0) {
    char line[16];
    say("ready", NULL, NULL);
    if (fgets(line, sizeof line, stdin) == NULL) line[0] = '\0';
  }
  nimo_exit();
  play(200, 0);
  if (nimo_set_purchase_listener(on_purchase, (void*)7) != NIMO_SET_OK) say("bad", "listener refused after exit", NULL);
  say("done", NULL, NULL);
  return 0;
}

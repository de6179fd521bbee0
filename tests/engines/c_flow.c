/* A C game: plays a player's whole life against the sandbox through the C
 * functions only (the C# flow loads the library at run time, as engines do).
 *   c_flow poll|threads
 * The sandbox must be running (examples/demo/run-demo.sh starts it). */
#include <math.h>
#include <pthread.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include "nimosdk64_c.h"

#define MAX_CALLS 32

struct call {
  int code;
  char message[256];
  char data[2048];
  void* user;
  int on_main_thread;
};

static pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
static struct call calls[MAX_CALLS];
static int ncalls;
static pthread_t main_thread;
static int failures;


static void on_result(int code, const char* message, const char* data, void* user) {
  pthread_mutex_lock(&lock);
  if (ncalls < MAX_CALLS) {
    struct call* c = &calls[ncalls];
    c->code = code;
    snprintf(c->message, sizeof c->message, "%s", message);
    snprintf(c->data, sizeof c->data, "%s", data);
    c->user = user;
    c->on_main_thread = pthread_equal(pthread_self(), main_thread);
  }
  ncalls++;
  pthread_mutex_unlock(&lock);
}

static void sleep_ms(long ms) {
  struct timespec t = {ms / 1000, (ms % 1000) * 1000000L};
  nanosleep(&t, NULL);
}

/* Waits (polling, as a game's frame loop would) for the next result. */
static struct call* await(int n) {
  for (int i = 0; i < 3000; i++) {
    nimo_run_callbacks();
    pthread_mutex_lock(&lock);
    int have = ncalls;
    pthread_mutex_unlock(&lock);
    if (have >= n) return &calls[n - 1];
    sleep_ms(5);
  }
  fprintf(stderr, "no result %d within 15 s\n", n);
  exit(1);
}

static void check(int ok, const char* what) {
  printf("%s %s\n", ok ? "ok  " : "FAIL", what);
  if (!ok) failures++;
}

int main(int argc, char** argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: c_flow poll|threads\n");
    return 2;
  }
  int poll = strcmp(argv[1], "poll") == 0;
  main_thread = pthread_self();
  printf("nimosdk64 %s, callbacks %s\n", nimo_version(), argv[1]);
  check(nimo_set_callback_mode(poll ? NIMO_CALLBACKS_ON_POLL : NIMO_CALLBACKS_ON_SDK_THREADS) == NIMO_SET_OK,
        "callback mode set before init");
  int n = 0;
  nimo_init(getenv("DEMO_APP_ID"), getenv("DEMO_APP_KEY"), on_result, (void*)1);
  struct call* c = await(++n);
  check(c->code == NIMO_OK && c->user == (void*)1, "init");
  check(nimo_set_callback_mode(NIMO_CALLBACKS_ON_POLL) == NIMO_SET_TOO_LATE, "callback mode refused after init");

  nimo_query_products(on_result, (void*)2);
  c = await(++n);
  check(c->code == NIMO_OK && strstr(c->data, "\"gem_60\"") != NULL, "catalogue");

  nimo_login(on_result, (void*)3);
  c = await(++n);
  check(c->code == NIMO_OK && strstr(c->data, "\"token\"") != NULL, "login");
  check(nimo_is_pay_available() == 1, "pay available");

  nimo_set_server_id("s1");
  nimo_set_game_user_id("hero");
  nimo_set_nick_name("Ária");
  nimo_set_level(7);

  nimo_call_pay("gem_60", "{\"chest\":\"gold\"}", on_result, (void*)4);
  c = await(++n);
  check(c->code == NIMO_OK && strstr(c->data, "\"status\":1") != NULL, "approved purchase");
  nimo_post_event("level_up", "{\"stage\":3}", 2.5);
  nimo_post_event("zko_level_achieved", NULL, NAN);
  nimo_exit();
  nimo_run_callbacks();
  sleep_ms(200);
  nimo_run_callbacks();

  pthread_mutex_lock(&lock);
  check(ncalls == n, "exactly one result per operation");
  for (int i = 0; i < n && i < MAX_CALLS; i++) {
    if (calls[i].user != (void*)(intptr_t)(i + 1)) check(0, "results carry their user pointer, in order");
    if (poll && !calls[i].on_main_thread) check(0, "poll mode calls back on the polling thread only");
  }
  pthread_mutex_unlock(&lock);
  printf("%s\n", failures == 0 ? "all steps as expected" : "FAILED");
  return failures == 0 ? 0 : 1;
}

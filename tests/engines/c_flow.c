/* A C game: loads libnimosdk64 with dlopen and plays a player's whole life against
 * the sandbox through the C functions only.
 *   c_flow LIBRARY poll|threads
 * The sandbox must be running with gem_300 declined (examples/demo/run-demo.sh does that). */
#include <dlfcn.h>
#include <math.h>
#include <pthread.h>
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

static struct {
  const char* (*version)(void);
  int (*set_callback_mode)(int);
  int (*run_callbacks)(void);
  void (*init)(const char*, const char*, nimo_callback, void*);
  void (*exit)(void);
  void (*login)(nimo_callback, void*);
  void (*call_pay)(const char*, const char*, nimo_callback, void*);
  int (*is_pay_available)(void);
  void (*post_event)(const char*, const char*, double);
  void (*query_products)(nimo_callback, void*);
  void (*set_game_user_id)(const char*);
  void (*set_level)(int);
  void (*set_nick_name)(const char*);
  void (*set_server_id)(const char*);
} nimo;

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
    nimo.run_callbacks();
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

/* dlsym gives an object pointer; copied bytewise into the function pointer, as POSIX allows. */
#define LOAD(field, name)                         \
  do {                                            \
    void* sym = dlsym(lib, name);                 \
    if (sym == NULL) {                            \
      fprintf(stderr, "missing %s\n", name);      \
      return 1;                                   \
    }                                             \
    memcpy(&nimo.field, &sym, sizeof sym);        \
  } while (0)

int main(int argc, char** argv) {
  if (argc != 3) {
    fprintf(stderr, "usage: c_flow LIBRARY poll|threads\n");
    return 2;
  }
  int poll = strcmp(argv[2], "poll") == 0;
  main_thread = pthread_self();
  void* lib = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
  if (lib == NULL) {
    fprintf(stderr, "%s\n", dlerror());
    return 1;
  }
  LOAD(version, "nimo_version");
  LOAD(set_callback_mode, "nimo_set_callback_mode");
  LOAD(run_callbacks, "nimo_run_callbacks");
  LOAD(init, "nimo_init");
  LOAD(exit, "nimo_exit");
  LOAD(login, "nimo_login");
  LOAD(call_pay, "nimo_call_pay");
  LOAD(is_pay_available, "nimo_is_pay_available");
  LOAD(post_event, "nimo_post_event");
  LOAD(query_products, "nimo_query_products");
  LOAD(set_game_user_id, "nimo_set_game_user_id");
  LOAD(set_level, "nimo_set_level");
  LOAD(set_nick_name, "nimo_set_nick_name");
  LOAD(set_server_id, "nimo_set_server_id");

  printf("nimosdk64 %s, callbacks %s\n", nimo.version(), argv[2]);
  check(nimo.set_callback_mode(poll ? NIMO_CALLBACKS_ON_POLL : NIMO_CALLBACKS_ON_SDK_THREADS) == NIMO_SET_OK,
        "callback mode set before init");
  int n = 0;
  nimo.init(getenv("DEMO_APP_ID"), getenv("DEMO_APP_KEY"), on_result, (void*)1);
  struct call* c = await(++n);
  check(c->code == NIMO_OK && c->user == (void*)1, "init");
  check(nimo.set_callback_mode(NIMO_CALLBACKS_ON_POLL) == NIMO_SET_TOO_LATE, "callback mode refused after init");

  nimo.query_products(on_result, (void*)2);
  c = await(++n);
  check(c->code == NIMO_OK && strstr(c->data, "\"gem_60\"") != NULL, "catalogue");

  nimo.login(on_result, (void*)3);
  c = await(++n);
  check(c->code == NIMO_OK && strstr(c->data, "\"token\"") != NULL, "login");
  check(nimo.is_pay_available() == 1, "pay available");

  nimo.set_server_id("s1");
  nimo.set_game_user_id("hero");
  nimo.set_nick_name("Ária");
  nimo.set_level(7);

  nimo.call_pay("gem_60", "{\"chest\":\"gold\"}", on_result, (void*)4);
  c = await(++n);
  check(c->code == NIMO_OK && strstr(c->data, "\"status\":1") != NULL, "approved purchase");
  nimo.call_pay("gem_300", "", on_result, (void*)5);
  c = await(++n);
  check(c->code == NIMO_OK && strstr(c->data, "\"status\":0") != NULL, "declined purchase: 200 with status 0");
  nimo.call_pay("no_such_product", NULL, on_result, (void*)6);
  c = await(++n);
  check(c->code == NIMO_PRODUCT_NOT_FOUND && strcmp(c->message, "Not Found Product.") == 0, "unknown product");

  nimo.post_event("level_up", "{\"stage\":3}", 2.5);
  nimo.post_event("zko_level_achieved", NULL, NAN);
  nimo.exit();
  nimo.run_callbacks();
  sleep_ms(200);
  nimo.run_callbacks();

  pthread_mutex_lock(&lock);
  check(ncalls == n, "exactly one result per operation");
  for (int i = 0; i < n && i < MAX_CALLS; i++) {
    if (calls[i].user != (void*)(long)(i + 1)) check(0, "results carry their user pointer, in order");
    if (poll && !calls[i].on_main_thread) check(0, "poll mode calls back on the polling thread only");
  }
  pthread_mutex_unlock(&lock);
  printf("%s\n", failures == 0 ? "all steps as expected" : "FAILED");
  return failures == 0 ? 0 : 1;
}

/* io_uring without a helper library: one ring of four entries, one entry
 * at a time, enough for a probe to open or connect through the kernel's
 * submission queue. */
#pragma once

#include <errno.h>
#include <linux/io_uring.h>
#include <stdint.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <unistd.h>

struct ring {
  int fd;
  uint32_t *sq_tail, *sq_mask, *sq_array, *cq_head, *cq_tail, *cq_mask;
  struct io_uring_sqe *sqes;
  struct io_uring_cqe *cqes;
};

static int ring_open(struct ring *ring) {
  struct io_uring_params params;
  memset(&params, 0, sizeof params);
  ring->fd = (int)syscall(__NR_io_uring_setup, 4, &params);
  if (ring->fd < 0) return -errno;
  size_t sq_size = params.sq_off.array + params.sq_entries * sizeof(uint32_t);
  size_t cq_size = params.cq_off.cqes + params.cq_entries * sizeof(struct io_uring_cqe);
  if (cq_size > sq_size) sq_size = cq_size;
  uint8_t *rings = mmap(NULL, sq_size, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_POPULATE, ring->fd, IORING_OFF_SQ_RING);
  ring->sqes = mmap(NULL, params.sq_entries * sizeof(struct io_uring_sqe), PROT_READ | PROT_WRITE,
                    MAP_SHARED | MAP_POPULATE, ring->fd, IORING_OFF_SQES);
  if (rings == MAP_FAILED || ring->sqes == MAP_FAILED) return -ENOMEM;
  ring->sq_tail = (uint32_t *)(rings + params.sq_off.tail);
  ring->sq_mask = (uint32_t *)(rings + params.sq_off.ring_mask);
  ring->sq_array = (uint32_t *)(rings + params.sq_off.array);
  ring->cq_head = (uint32_t *)(rings + params.cq_off.head);
  ring->cq_tail = (uint32_t *)(rings + params.cq_off.tail);
  ring->cq_mask = (uint32_t *)(rings + params.cq_off.ring_mask);
  ring->cqes = (struct io_uring_cqe *)(rings + params.cq_off.cqes);
  return 0;
}

/* Submits one prepared entry and waits for its result (a value or -errno). */
static int ring_run(struct ring *ring, const struct io_uring_sqe *entry) {
  uint32_t tail = *ring->sq_tail;
  uint32_t index = tail & *ring->sq_mask;
  ring->sqes[index] = *entry;
  ring->sq_array[index] = index;
  __atomic_store_n(ring->sq_tail, tail + 1, __ATOMIC_RELEASE);
  if (syscall(__NR_io_uring_enter, ring->fd, 1, 1, IORING_ENTER_GETEVENTS, NULL, 0) < 0) return -errno;
  uint32_t head = *ring->cq_head;
  if (head == __atomic_load_n(ring->cq_tail, __ATOMIC_ACQUIRE)) return -EIO;
  int result = ring->cqes[head & *ring->cq_mask].res;
  __atomic_store_n(ring->cq_head, head + 1, __ATOMIC_RELEASE);
  return result;
}

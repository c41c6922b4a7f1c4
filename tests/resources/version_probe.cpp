// An executable that only carries a version block (2.1.0.7), for the version reader's tests.
int main() {
  return 0;
}

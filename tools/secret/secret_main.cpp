// tavrel_mmp_secret PARTNER_CODE BASE_URL: prints the app secret a host passes to intSDK.
#include <iostream>

#include "secret/secret_generator.h"

int main(int argc, char** argv) {
  if (argc != 3) {
    std::cerr << "usage: " << argv[0] << " PARTNER_CODE BASE_URL\n";
    return 2;
  }
  std::cout << tavrel_mmp::tools::makeAppSecret(argv[2], argv[1]) << "\n";
  return 0;
}

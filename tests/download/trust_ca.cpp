// Adds one PEM certificate to the current user's root store of the Wine
// prefix, so that WinHTTP accepts the test servers' certificates.
//
//   trust_ca.exe CA.pem
#include <windows.h>
#include <wincrypt.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

int wmain(int argc, wchar_t** argv)
{
    if (argc != 2) {
        fwprintf(stderr, L"usage: trust_ca CA.pem\n");
        return 2;
    }
    std::ifstream in(argv[1], std::ios::binary);
    const std::string pem((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (pem.empty()) {
        fwprintf(stderr, L"trust_ca: cannot read %ls\n", argv[1]);
        return 1;
    }

    DWORD size = 0;
    if (!CryptStringToBinaryA(pem.c_str(), static_cast<DWORD>(pem.size()),
                              CRYPT_STRING_BASE64HEADER, nullptr, &size, nullptr, nullptr)) {
        fwprintf(stderr, L"trust_ca: not a PEM certificate (%lu)\n", GetLastError());
        return 1;
    }
    std::vector<BYTE> der(size);
    if (!CryptStringToBinaryA(pem.c_str(), static_cast<DWORD>(pem.size()),
                              CRYPT_STRING_BASE64HEADER, der.data(), &size, nullptr, nullptr)) {
        fwprintf(stderr, L"trust_ca: not a PEM certificate (%lu)\n", GetLastError());
        return 1;
    }

    HCERTSTORE store = CertOpenSystemStoreW(0, L"ROOT");
    if (store == nullptr) {
        fwprintf(stderr, L"trust_ca: cannot open the root store (%lu)\n", GetLastError());
        return 1;
    }
    const BOOL added = CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING, der.data(), size,
                                                        CERT_STORE_ADD_REPLACE_EXISTING, nullptr);
    const DWORD error = GetLastError();
    CertCloseStore(store, 0);
    if (!added) {
        fwprintf(stderr, L"trust_ca: cannot add the certificate (%lu)\n", error);
        return 1;
    }
    return 0;
}

! Writes data.dat with an unformatted sequential WRITE per record, as user
! programs do, and expected.txt: the rows and columns the converter should
! load, then the bits of each loaded value, row by row, in hexadecimal.
program write_records
  use, intrinsic :: ieee_arithmetic
  implicit none
  character(len=16) :: dataset
  integer :: nrec, ncol, r, c
  real, allocatable :: row(:)

  call get_command_argument(1, dataset)
  select case (trim(dataset))
  case ('full')
    nrec = 5; ncol = 7
  case ('short')    ! full records, then a shorter one, then a full one
    nrec = 3; ncol = 4
  case ('empty')    ! records of no values
    nrec = 4; ncol = 0
  case ('row')
    nrec = 1; ncol = 9
  case ('column')
    nrec = 6; ncol = 1
  case default
    error stop 'unknown data set'
  end select

  open (10, file='data.dat', form='unformatted', access='sequential', &
        status='replace')
  open (11, file='expected.txt', status='replace')
  write (11, '(I0, 1X, I0)') nrec, ncol
  allocate (row(ncol))
  do r = 1, nrec
    do c = 1, ncol
      row(c) = value(r, c)
      write (11, '(Z8.8)') transfer(row(c), 0)
    end do
    write (10) row
  end do
  if (trim(dataset) == 'short') then
    write (10) row(1:2)
    write (10) row
  end if
  close (10)
  close (11)

contains

  ! Ordinary values with every kind of special one among them.
  real function value(r, c)
    integer, intent(in) :: r, c
    select case (mod((r - 1) * 7 + c, 10))
    case (1)
      value = sign(0.0, -1.0)
    case (2)
      value = ieee_value(value, ieee_positive_inf)
    case (3)
      value = ieee_value(value, ieee_negative_inf)
    case (4)
      value = transfer(1, 1.0)            ! the smallest subnormal
    case (5)
      value = transfer(2143289344 + 74565, 1.0)  ! a quiet NaN with a payload
    case (6)
      value = transfer(-4194304, 1.0)            ! a negative quiet NaN
    case (7)
      value = -huge(1.0)
    case (8)
      value = tiny(1.0)
    case default
      value = real(r) * 1000.0 + real(c) / 3.0
    end select
  end function value

end program write_records
